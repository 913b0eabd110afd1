"""The run recording and its atomic publication.

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

Publication: the lines are written to a new temporary file in the directory
of the recorder path (named ``.<name>.<random>.tmp``), flushed and fsynced,
and then renamed onto the path, which replaces a file already there. The
directory is fsynced afterwards so the rename itself survives a crash. A
reader of the path thus sees either the previous file or the complete new
recording, never a partial one; on any failure the temporary file is removed
and the path is left as it was.
"""

from __future__ import annotations

import json
import os
import secrets
from typing import Iterable

from .delivery import describe_exception

FORMAT = "korvane-stack-recording"
FORMAT_VERSION = 1

_OPEN_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0)


def encode_line(record: dict) -> bytes:
    return json.dumps(record, separators=(",", ":"), allow_nan=False).encode("ascii") + b"\n"


def _create_temporary(directory: str, name: str) -> tuple[str, int]:
    # A fixed-length prefix of the name keeps the temporary name within the
    # file system's name length limit even for long recording names.
    for _ in range(16):
        candidate = os.path.join(directory, f".{name[:64]}.{secrets.token_hex(8)}.tmp")
        try:
            # 0o666 less the umask, as for any file the caller creates.
            return candidate, os.open(candidate, _OPEN_FLAGS, 0o666)
        except FileExistsError:
            continue
    raise FileExistsError(f"no free temporary name beside {name!r}")


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


def publish_recording(path: str, records: Iterable[dict]) -> dict:
    """Write ``records`` as JSON Lines to ``path`` atomically.

    Returns the ``recorder_finalization`` status object: ``finalized`` once
    the recording is in place at ``path``, ``failed`` (with the error) when it
    could not be put there.
    """
    directory, name = os.path.split(path)
    if not name:
        return {"status": "failed", "path": path, "error": "recorder path names no file"}
    temporary = None
    try:
        temporary, fd = _create_temporary(directory, name)
        with os.fdopen(fd, "wb") as stream:
            for record in records:
                stream.write(encode_line(record))
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, path)
        temporary = None
    except (OSError, ValueError) as error:
        # ValueError: a path with a NUL character, or a record json refuses.
        return {"status": "failed", "path": path, "error": describe_exception(error)}
    finally:
        if temporary is not None:
            try:
                os.unlink(temporary)
            except OSError:
                pass
    return {"status": "finalized", "path": path, "directory_synced": _sync_directory(directory)}
