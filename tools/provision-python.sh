#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the requested flavour (release or
# debug) and version, provisioning one into a private prefix when the machine
# has none.
#
#   tools/provision-python.sh [--debug] [--arch ARCH] [VERSION]   (VERSION defaults to 3.14)
#
# Stable Debian does not carry CPython 3.14, unstable does. Installing unstable's
# packages with apt would replace the host's libc, so they are only downloaded
# and unpacked into a prefix under $KORVANE_CACHE (default ~/.cache/korvane),
# together with unstable's runtime libraries, and the interpreter binaries are
# pointed at the prefix's own loader. The prefix is reused by later runs.
#
# What it changes on the host, once: the apt source
# /etc/apt/sources.list.d/korvane-unstable.sources (the host's own Debian
# mirror, suite sid), the pin /etc/apt/preferences.d/korvane-unstable
# (priority 1: nothing installed is ever upgraded from it, and it supplies a
# package only when asked for one that stable lacks or with /sid), and an
# `apt-get update`; patchelf from stable when missing.
#
# The packages are the host's architecture (dpkg --print-architecture); the
# multiarch folder and the loader are read from what was unpacked.
#
# --arch arm64 provisions another architecture's release interpreter into
# $KORVANE_CACHE/pythonVERSION-arm64, to be run under user-mode emulation:
#   qemu-aarch64-static -L ROOT ROOT/usr/bin/pythonVERSION
# where ROOT is that folder (the printed path less usr/bin/pythonVERSION).
# The folder gets `lib -> usr/lib`, where the interpreter looks for its
# loader. Besides the above it changes on the host, once: the architecture
# added to dpkg (dpkg --add-architecture, which only lets apt fetch its
# packages) and Debian's qemu-user-static installed. Nothing of the other
# architecture is installed on the host.
set -euo pipefail

flavour=release
arch=$(dpkg --print-architecture)
foreign=""
while [ $# -gt 0 ]; do
  case "$1" in
    --debug) flavour=debug; shift ;;
    --arch) [ "$2" = "$arch" ] || foreign="$2"; shift 2 ;;
    *) break ;;
  esac
done
ver="${1:-3.14}"
cache="${KORVANE_CACHE:-$HOME/.cache/korvane}"
prefix="$cache/python$ver"
if [ -n "$foreign" ]; then
  case "$foreign" in
    arm64) qemu=qemu-aarch64-static; machine=aarch64 ;;
    *) echo "provision-python: no emulation set up for architecture $foreign" >&2; exit 2 ;;
  esac
  [ "$flavour" = release ] || { echo "provision-python: --arch gives release interpreters only" >&2; exit 2; }
  arch="$foreign"
  prefix="$cache/python$ver-$arch"
fi
log() { echo "provision-python: $*" >&2; }

# An interpreter already on PATH is used when it is this version and flavour.
on_path() {
  local cand
  if [ "$flavour" = debug ]; then cand="python${ver}d python${ver}-dbg"; else cand="python$ver"; fi
  for exe in $cand; do
    if command -v "$exe" >/dev/null 2>&1; then
      local p; p=$(command -v "$exe")
      # A virtual environment's interpreter is not taken: venvs are made from base interpreters.
      if "$p" -c "import sys; sys.exit(0 if sys.prefix == sys.base_prefix and hasattr(sys, 'gettotalrefcount') == ('$flavour' == 'debug') else 1)" 2>/dev/null \
         && [ -f "$("$p" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/Python.h" ]; then
        echo "$p"; return 0
      fi
    fi
  done
  return 1
}

exe_in_prefix() {
  if [ "$flavour" = debug ]; then echo "$prefix/usr/bin/python$ver-dbg"; else echo "$prefix/usr/bin/python$ver"; fi
}

# Debian's ensurepip takes pip from the folder named by the configuration
# variable WHEEL_PKG_DIR, /usr/share/python-wheels; on a stable host that
# holds a pip too old for this CPython (it fails on pkgutil.ImpImporter). The
# prefix carries unstable's pip wheel, and pointing the variable there makes
# `pythonX.Y -m venv` work as it does anywhere else.
point_ensurepip_at_prefix() {
  local wheels="$1/usr/share/python-wheels" data
  compgen -G "$wheels/pip-*.whl" >/dev/null || return 0
  for data in "$1/usr/lib/python$ver"/_sysconfigdata_*.py; do
    [ -f "$data" ] && [ ! -L "$data" ] || continue
    grep -q "'WHEEL_PKG_DIR': '/usr/share/python-wheels/'" "$data" || continue
    sed -i "s|'WHEEL_PKG_DIR': '/usr/share/python-wheels/'|'WHEEL_PKG_DIR': '$wheels/'|" "$data"
  done
}

# Debian's debug headers are symlinks into the release folder, so a quoted
# include of "pyconfig.h" from them resolves to the release configuration and
# the debug build's reference-count bookkeeping is silently left out.
# Real copies keep the debug configuration in force.
materialise_debug_headers() {
  local dir="$1/usr/include/python${ver}d"
  [ -d "$dir" ] || return 0
  local link target
  find "$dir" -maxdepth 1 -type l | while read -r link; do
    target=$(readlink -f "$link")
    rm "$link"
    cp -r "$target" "$link"
  done
}

if [ -z "$foreign" ] && [ -z "${KORVANE_FORCE_PREFIX:-}" ] && on_path; then exit 0; fi
# Installing Debian's packages byte-compiles the standard library (py3compile);
# unpacking them does not. Under emulation compiling is the slow part: an
# interpreter that may not write its bytecode (PYTHONDONTWRITEBYTECODE) would
# compile what it imports at every start, pip's imports alone for a minute.
# So the emulated interpreter compiles its standard library once, in one
# process (compileall's workers would be started without qemu).
compile_emulated_stdlib() {
  [ -n "$foreign" ] && [ ! -f "$prefix/.compiled" ] || return 0
  log "byte-compiling the standard library of CPython $ver ($arch) under emulation"
  "$qemu" -L "$prefix" "$prefix/usr/bin/python$ver" -m compileall -q "$prefix/usr/lib/python$ver" >&2
  touch "$prefix/.compiled"
}

if [ -f "$prefix/.complete" ]; then
  materialise_debug_headers "$prefix"; point_ensurepip_at_prefix "$prefix"; compile_emulated_stdlib
  exe_in_prefix; exit 0
fi

[ "$(id -u)" = 0 ] || { log "needs root to add the unstable apt source"; exit 1; }
export DEBIAN_FRONTEND=noninteractive

# The unstable suite, from the same mirror the host already uses, pinned so
# that it is never chosen for an install.
src=/etc/apt/sources.list.d/korvane-unstable.sources
if [ ! -f "$src" ]; then
  uri=$(grep -h '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' | grep -E '/debian/?$' | head -n1 || true)
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1=="deb" && $2 ~ /\/debian\/?$/ {print $2; exit}' /etc/apt/sources.list)
  fi
  [ -n "$uri" ] || { log "no Debian apt source found to reuse"; exit 1; }
  printf 'Types: deb\nURIs: %s\nSuites: sid\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' "$uri" > "$src"
  printf 'Package: *\nPin: release n=sid\nPin-Priority: 1\n' > /etc/apt/preferences.d/korvane-unstable
  apt-get update -qq >&2
elif ! apt-cache show "libpython$ver-minimal" >/dev/null 2>&1; then
  apt-get update -qq >&2
fi
command -v patchelf >/dev/null 2>&1 || apt-get install -y -qq patchelf >&2
if [ -n "$foreign" ]; then
  command -v "$qemu" >/dev/null 2>&1 || apt-get install -y -qq qemu-user-static >&2
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    dpkg --add-architecture "$arch"
    apt-get update -qq >&2
  elif ! apt-cache show "libpython$ver-minimal:$arch" >/dev/null 2>&1; then
    apt-get update -qq >&2
  fi
fi

pkgs="libpython$ver-minimal libpython$ver-stdlib libpython$ver libpython$ver-dev
 python$ver-minimal python$ver python$ver-dev python$ver-venv
 libc6 libstdc++6 libgcc-s1 libssl3t64 libexpat1 zlib1g libffi8 libbz2-1.0 liblzma5 libzstd1
 libsqlite3-0 libuuid1 libncursesw6 libtinfo6 libreadline8t64 libdb5.3t64 libmpdec4"
[ -n "$foreign" ] || pkgs="$pkgs python$ver-dbg libpython$ver-dbg"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$prefix.tmp"; mkdir -p "$prefix.tmp"
log "downloading CPython $ver ($arch) from Debian unstable"
( cd "$work"
  # pip's wheel is of no architecture (all), so it takes no qualifier.
  wanted="python3-pip-whl/sid"
  for p in $pkgs; do wanted="$wanted $p:$arch/sid"; done
  apt-get download -qq $wanted >&2 )
for deb in "$work"/*.deb; do dpkg-deb -x "$deb" "$prefix.tmp"; done

# The multiarch folder is the one holding unstable's C library, e.g.
# x86_64-linux-gnu or aarch64-linux-gnu.
libc=$(compgen -G "$prefix.tmp/usr/lib/*-linux-*/libc.so.6" | head -n1 || true)
[ -n "$libc" ] || { log "unstable's C library missing for $arch"; exit 1; }
multiarch=$(basename "$(dirname "$libc")")
lib="$prefix/usr/lib/$multiarch"
# The loader is the one the interpreter names (ld-linux-x86-64.so.2,
# ld-linux-aarch64.so.1, ...), taken from the prefix instead of the host.
loader=$(basename "$(patchelf --print-interpreter "$(readlink -f "$prefix.tmp/usr/bin/python$ver")")")
[ -e "$prefix.tmp/usr/lib/$multiarch/$loader" ] || { log "unstable's loader $loader missing"; exit 1; }
# Debian's pyconfig.h only includes a multiarch path; put the real one in place.
for inc in "python$ver" "python${ver}d"; do
  real="$prefix.tmp/usr/include/$multiarch/$inc/pyconfig.h"
  [ -f "$real" ] && cp "$real" "$prefix.tmp/usr/include/$inc/pyconfig.h"
done
materialise_debug_headers "$prefix.tmp"
if [ -n "$foreign" ]; then
  # Emulated: the loader and libraries are found through qemu's -L ROOT, the
  # loader by the absolute path the interpreter names (/lib/...), which the
  # merged-/usr packages put under usr/lib.
  [ -e "$prefix.tmp/lib" ] || ln -s usr/lib "$prefix.tmp/lib"
  rm -rf "$prefix"; mv "$prefix.tmp" "$prefix"
  point_ensurepip_at_prefix "$prefix"
  "$qemu" -L "$prefix" "$prefix/usr/bin/python$ver" -c \
    "import json, ssl, sqlite3, importlib.metadata, platform; assert platform.machine() == '$machine', platform.machine()" >&2
  compile_emulated_stdlib
  touch "$prefix/.complete"
  log "CPython $ver ($arch) ready in $prefix"
  exe_in_prefix
  exit 0
fi
rm -rf "$prefix"; mv "$prefix.tmp" "$prefix"
point_ensurepip_at_prefix "$prefix"
for exe in "python$ver" "python$ver-dbg"; do
  f="$prefix/usr/bin/$exe"
  f=$(readlink -f "$f")
  patchelf --set-interpreter "$lib/$loader" --force-rpath --set-rpath "$lib" "$f"
done
"$prefix/usr/bin/python$ver" -c 'import json, ssl, sqlite3, importlib.metadata' >&2
"$prefix/usr/bin/python$ver-dbg" -c 'import sys; sys.gettotalrefcount()' >&2
touch "$prefix/.complete"
log "CPython $ver ready in $prefix"
exe_in_prefix
