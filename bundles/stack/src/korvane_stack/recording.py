"""The run recording: its format, and how it is written and published.

A recording is JSON Lines: UTF-8, one compact JSON object per line, each line
ending in LF, every object carrying an ``event`` member. In order:

1. ``{"event": "run_started", "format": "korvane-stack-recording",
   "format_version": 1, "run_id": ..., "machine_id": "stack",
   "bundle_version": ..., "program_sha256": <hex of the artifact>,
   "instructions": <count>, "stack_limit": ..., "step_limit": ...,
   "batch_size": ..., "inputs": [...], "observation": <object or null>}``
2. for every ``read``: ``{"event": "read", "step": s, "index": i, "value": v}``;
   for every ``emit``: ``{"event": "emit", "step": s, "sequence": i, "value": v}``;
   in the order the machine executed them (``step`` counts from 1).
3. ``{"event": "run_finished", "machine_execution": <status>,
   "fault": <null or {"kind", "message", "line"}>, "steps": ...,
   "final_stack": [...], "inputs_consumed": ..., "evidence_fulfillment":
   <status>, "python_sink_delivery": <status>}``

Since the program and the inputs determine the run, the reads and emits are
enough to check a recording against a rerun.

Writing: a ``Recording`` is opened before the run starts and takes each line
as the run produces it, so that memory holds at most one buffer of lines
whatever the length of the run. The lines go to a temporary file in the
directory of the file the recorder path names: an unnamed one (``O_TMPFILE``)
where the file system offers it, which vanishes by itself if the process dies;
otherwise a named one, ``.<name>.<host>.<pid>.<random>.tmp``, and every new
recording of the same name removes such files whose writer process on this
host is gone.

Publication, once the run is over: the file is flushed and fsynced, given a
name in that directory, and renamed onto the target, replacing a file already
there; the directory is fsynced afterwards so the rename itself survives a
crash. A reader of the path thus sees either the previous file or the complete
new recording, never a partial one.

What the path may name:

- nothing yet: the new file gets the permission bits ``open()`` would give
  (0666 less the umask);
- a regular file: it is replaced and the new file keeps its permission bits
  (set-user-ID, set-group-ID and sticky bits are not carried over) and, where
  the process may set them, its owner and group. The replacement is a new
  inode, so other hard links to the old file keep the old content;
- a symbolic link: it is followed, and the file it leads to is replaced in its
  own directory; the link stays as it is;
- a directory, FIFO, device or socket: nothing is written, the path is left
  untouched and the recorder reports ``failed``.

Any failure (the path refused, a full disk, a write or an fsync failing)
leaves the path as it was, removes the temporary file and reports ``failed``
with the error; the run itself goes on and is reported in full.
"""

from __future__ import annotations

import errno
import json
import os
import platform
import re
import secrets
import stat

from ._version import __version__
from .text import describe_exception, safe_text

FORMAT = "korvane-stack-recording"
FORMAT_VERSION = 1

# Lines are gathered up to this many bytes before they are written out.
_CHUNK = 1 << 16

# Symbolic links followed from the recorder path before giving up, as the
# kernel does for a path.
_MAX_SYMLINKS = 40

_CLOEXEC = getattr(os, "O_CLOEXEC", 0)
_NAMED_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | _CLOEXEC | getattr(os, "O_NOFOLLOW", 0)
_O_TMPFILE = getattr(os, "O_TMPFILE", None)

# Unnamed temporary files need O_TMPFILE from the file system and /proc/self/fd
# to give the finished file a name. Tests switch this off to try the fallback.
UNNAMED_TEMPORARIES = _O_TMPFILE is not None and os.path.isdir("/proc/self/fd")

# errno values with which a file system or kernel refuses O_TMPFILE itself.
_NO_TMPFILE = {errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL}

_KINDS = (
    (stat.S_ISDIR, "a directory"),
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISSOCK, "a socket"),
)


def encode_line(record: dict) -> bytes:
    return json.dumps(record, separators=(",", ":"), allow_nan=False).encode("ascii") + b"\n"


# The records ------------------------------------------------------------


def run_started(run, machine_id: str) -> dict:
    """The first line: what determines the run (``run`` is a ``StackRun``)."""
    return {
        "event": "run_started",
        "format": FORMAT,
        "format_version": FORMAT_VERSION,
        "run_id": safe_text(run.run_id),
        "machine_id": machine_id,
        "bundle_version": __version__,
        "program_sha256": run.program.sha256,
        "instructions": len(run.program.instructions),
        "stack_limit": run.configuration.stack_limit,
        "step_limit": run.step_limit,
        "batch_size": run.configuration.batch_size,
        "inputs": list(run.inputs),
        "observation": run.observation.as_json(),
    }


def run_finished(outcome, evidence: dict, delivery: dict) -> dict:
    """The last line: how the run ended (``outcome`` is a ``MachineOutcome``)."""
    return {
        "event": "run_finished",
        "machine_execution": outcome.status,
        "fault": None if outcome.fault is None else outcome.fault.as_json(),
        "steps": outcome.steps,
        "final_stack": list(outcome.final_stack),
        "inputs_consumed": outcome.inputs_consumed,
        "evidence_fulfillment": evidence["status"],
        "python_sink_delivery": delivery["status"],
    }


# The target -------------------------------------------------------------


class _Refused(Exception):
    """The recorder path names something a recording must not replace."""


def _kind(mode: int) -> str | None:
    """What a non-regular file is, or None for a regular file."""
    if stat.S_ISREG(mode):
        return None
    for test, name in _KINDS:
        if test(mode):
            return name
    return "a special file"


def _resolve(path: str) -> tuple[str, os.stat_result | None]:
    """The file that ``path`` names, symbolic links followed, and its status
    (None when nothing is there yet). Raises _Refused for anything but a
    regular file, OSError when the path cannot be examined."""
    target = path
    for _ in range(_MAX_SYMLINKS + 1):
        try:
            status = os.lstat(target)
        except FileNotFoundError:
            return target, None
        if stat.S_ISLNK(status.st_mode):
            target = os.path.join(os.path.dirname(target), os.readlink(target))
            continue
        kind = _kind(status.st_mode)
        if kind is not None:
            shown = "" if target == path else f" (through a symbolic link, at {safe_text(target)!r})"
            raise _Refused(f"the recorder path names {kind}{shown}, not a regular file; it was left untouched")
        return target, status
    raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), path)


# Temporary files --------------------------------------------------------


def _host() -> str:
    return re.sub(r"[^A-Za-z0-9_-]", "-", platform.node())[:32] or "host"


_HOST = _host()
_TEMPORARY = re.compile(r"(?P<host>[A-Za-z0-9_-]+)\.(?P<pid>[0-9]+)\.[0-9a-f]{16}\.tmp")


def _temporary_prefix(name: str) -> str:
    # A fixed-length part of the name keeps the temporary name within the
    # file system's name length limit even for long recording names.
    return f".{name[:64]}."


def _temporary_name(directory: str, name: str) -> str:
    return os.path.join(directory, f"{_temporary_prefix(name)}{_HOST}.{os.getpid()}.{secrets.token_hex(8)}.tmp")


def _process_gone(pid: int) -> bool:
    if os.name != "posix":
        return False  # no harmless way to ask there (os.kill would signal the process)
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except OSError:  # PermissionError: it exists under another user
        return False
    return False


def remove_stale_temporaries(directory: str, name: str) -> list[str]:
    """Remove the named temporary files of recordings called ``name`` in
    ``directory`` whose writer process on this host is gone; return their
    names. Files of living writers, of other hosts and of this process are
    kept, and so is everything that is not a regular file."""
    prefix = _temporary_prefix(name)
    removed = []
    try:
        entries = os.scandir(directory or os.curdir)
    except OSError:
        return removed
    with entries:
        for entry in entries:
            if not entry.name.startswith(prefix):
                continue
            match = _TEMPORARY.fullmatch(entry.name, len(prefix))
            if match is None or match["host"] != _HOST:
                continue
            pid = int(match["pid"])
            if pid == os.getpid() or not _process_gone(pid):
                continue
            try:
                if entry.is_file(follow_symlinks=False):
                    os.unlink(entry.path)
                    removed.append(entry.name)
            except OSError:
                pass
    return removed


def _open_temporary(directory: str, name: str, target_exists: bool) -> tuple[int, str | None]:
    """A new temporary file in ``directory``: (fd, None) for an unnamed one,
    (fd, its path) for a named one."""
    if UNNAMED_TEMPORARIES:
        try:
            # The mode is what open() gives a new file (0666 less the umask);
            # nobody else can reach the file before it has a name.
            return os.open(directory or os.curdir, _O_TMPFILE | os.O_WRONLY | _CLOEXEC, 0o666), None
        except OSError as error:
            if error.errno not in _NO_TMPFILE:
                raise
    # A named file is visible from the start, so when it is to replace a file
    # that may be private it starts private; it gets its final bits when it
    # is published.
    mode = 0o600 if target_exists else 0o666
    for _ in range(16):
        candidate = _temporary_name(directory, name)
        try:
            return os.open(candidate, _NAMED_FLAGS, mode), candidate
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no free temporary name", os.path.join(directory, name))


def _sync_directory(directory: str) -> bool:
    try:
        fd = os.open(directory or os.curdir, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return False
    try:
        os.fsync(fd)
        return True
    except OSError:
        return False
    finally:
        os.close(fd)


def _take_over_attributes(fd: int, status: os.stat_result) -> None:
    """Give the new file the permission bits, and where allowed the owner and
    group, of the file it replaces."""
    if hasattr(os, "fchown") and (status.st_uid, status.st_gid) != (os.getuid(), os.getgid()):
        try:
            os.fchown(fd, status.st_uid, status.st_gid)
        except PermissionError:
            pass  # only a privileged process may give a file away
    if hasattr(os, "fchmod"):
        os.fchmod(fd, stat.S_IMODE(status.st_mode) & 0o777)


# The recording ----------------------------------------------------------


class Recording:
    """One recording in progress.

    ``Recording(path, first)`` opens it and writes the first record;
    ``write`` adds records while the run goes; ``publish`` writes the last one
    and puts the file in place, returning the ``recorder_finalization``
    status object; ``discard`` drops it (and is harmless after ``publish``).
    A failure on the way is kept, not raised: the later calls do nothing and
    ``publish`` reports it.
    """

    def __init__(self, path: str, first: dict) -> None:
        self.path = path
        self._fd: int | None = None
        self._named: str | None = None
        self._buffer = bytearray()
        self._error: str | None = None
        self._target = path
        try:
            if not os.path.basename(path):
                raise _Refused("recorder path names no file")
            self._target, status = _resolve(path)
            self._directory, name = os.path.split(self._target)
            remove_stale_temporaries(self._directory, name)
            self._fd, self._named = _open_temporary(self._directory, name, status is not None)
        except _Refused as refusal:
            self._fail(str(refusal))
            return
        except Exception as error:  # OSError, ValueError (a NUL in the path), or worse
            self._fail(describe_exception(error))
            return
        self.write(first)

    def write(self, record: dict) -> None:
        if self._fd is None:
            return
        try:
            self._buffer += encode_line(record)
            if len(self._buffer) >= _CHUNK:
                self._drain()
        except Exception as error:  # OSError from a full disk, ValueError from json
            self._fail(describe_exception(error))

    def _drain(self) -> None:
        while self._buffer:
            written = os.write(self._fd, self._buffer)
            del self._buffer[:written]

    def publish(self, last: dict) -> dict:
        self.write(last)
        if self._fd is None:
            return self._failed()
        try:
            self._drain()
            target, status = _resolve(self.path)
            if os.path.dirname(target) != self._directory:
                raise _Refused("the recorder path was redirected to another directory during the run")
            if status is not None:
                _take_over_attributes(self._fd, status)
            os.fsync(self._fd)
            if self._named is None:
                named = _temporary_name(self._directory, os.path.basename(target))
                os.link(f"/proc/self/fd/{self._fd}", named, follow_symlinks=True)
                self._named = named
            os.replace(self._named, target)
            self._named = None
        except _Refused as refusal:
            self._fail(str(refusal))
            return self._failed()
        except Exception as error:
            self._fail(describe_exception(error))
            return self._failed()
        finally:
            self.discard()
        report = {"status": "finalized", "path": self.path, "directory_synced": _sync_directory(self._directory)}
        if target != self.path:
            report["target"] = safe_text(target)
        return report

    def discard(self) -> None:
        """Close and remove the temporary file, if there still is one."""
        fd, named = self._fd, self._named
        self._fd = self._named = None
        self._buffer = bytearray()
        if fd is not None:
            try:
                os.close(fd)
            except OSError:
                pass
        if named is not None:
            try:
                os.unlink(named)
            except OSError:
                pass

    def _fail(self, error: str) -> None:
        if self._error is None:
            self._error = error
        self.discard()

    def _failed(self) -> dict:
        return {"status": "failed", "path": self.path, "error": self._error}
