#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing:
# the C++ compiler, GoogleTest for the core's unit tests, patchelf for the
# provisioned interpreter, and clang with its runtimes for the fuzz targets.
set -euo pipefail
need=()
for pkg in "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
[ ${#need[@]} -eq 0 ] && exit 0
if [ "$(id -u)" != 0 ]; then echo "missing Debian packages: ${need[*]} (run as root to install)" >&2; exit 1; fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >&2
apt-get install -y -qq "${need[@]}" >&2
