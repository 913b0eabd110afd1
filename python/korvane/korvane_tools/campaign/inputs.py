"""Reading a campaign's inputs: a JSON Lines file of runs, checked whole into
`RunInput`s before any run starts.

This is the client's first step and needs nothing of korvane: every fault of
the file is collected, each with its line number, so that one `InputError`
tells all there is to mend and a bad file costs no run.

`input_digest` names what a run was given (its four JSON values and its
artifact's bytes), so that a resume notices an input changed under its id.
"""

from __future__ import annotations

import hashlib
import json
import os
import stat
from dataclasses import dataclass
from typing import Any

INPUT_MEMBERS = ("id", "artifact", "configuration", "input_schedule", "execution_controls", "observation")
# Ids name recording files (ID.jsonl), so they stay usable as file names.
MAX_ID_BYTES = 200


class InputError(ValueError):
    """The inputs file cannot be used; `problems` holds one text per fault,
    each starting with its line number."""

    def __init__(self, path: str, problems: list[str]) -> None:
        super().__init__(f"{path}: " + "; ".join(problems))
        self.path = path
        self.problems = problems


@dataclass(frozen=True, slots=True)
class RunInput:
    """One run of a campaign. `artifact` is the artifact's bytes, or the path
    of a file holding them (read when the run is handed to a worker)."""

    id: str
    artifact: bytes | str
    configuration: Any = None
    input_schedule: Any = None
    execution_controls: Any = None
    observation: Any = None


def _id_problem(run_id: object) -> str | None:
    if not isinstance(run_id, str):
        return "id must be a string"
    if run_id in ("", ".", ".."):
        return f"id {json.dumps(run_id)} cannot name a file"
    if "/" in run_id or "\0" in run_id:
        return f"id {json.dumps(run_id)} holds a '/' or a NUL character"
    try:
        size = len(run_id.encode("utf-8"))
    except UnicodeEncodeError:
        return "id holds a lone surrogate, which no file name can"
    if size > MAX_ID_BYTES:
        return f"id is longer than {MAX_ID_BYTES} bytes"
    return None


def _artifact_problem(path: str) -> str | None:
    try:
        mode = os.stat(path).st_mode
    except OSError as error:
        return f"artifact {path}: {error.strerror}"
    if not stat.S_ISREG(mode):
        return f"artifact {path}: not a regular file"
    if not os.access(path, os.R_OK):
        return f"artifact {path}: not readable"
    return None


def read_inputs(path: str | os.PathLike[str]) -> list[RunInput]:
    """The runs of a JSON Lines inputs file, one JSON object a line (blank
    lines are skipped). Every fault is collected before InputError is raised:
    a line that is not a JSON object, an unknown member, an id that is not a
    string usable as a file name or that repeats, an artifact file that does
    not exist or cannot be read. A missing id is the line number; artifact
    paths are relative to the inputs file's folder."""
    path = os.fspath(path)
    try:
        with open(path, "rb") as stream:
            raw_lines = stream.read().split(b"\n")
    except OSError as error:
        raise InputError(path, [f"cannot read: {error.strerror}"]) from None
    folder = os.path.dirname(os.path.abspath(path))
    problems: list[str] = []
    runs: list[RunInput] = []
    seen: dict[str, int] = {}
    for number, raw in enumerate(raw_lines, start=1):
        if not raw.strip():
            continue
        faults: list[str] = []
        try:
            item = json.loads(raw.decode("utf-8"))
        except (UnicodeDecodeError, ValueError, RecursionError) as error:
            problems.append(f"line {number}: not JSON: {error}")
            continue
        if not isinstance(item, dict):
            problems.append(f"line {number}: not a JSON object")
            continue
        faults += [f"unknown member {json.dumps(key)}" for key in item if key not in INPUT_MEMBERS]
        run_id = item.get("id", str(number))
        id_fault = _id_problem(run_id)
        if id_fault is not None:
            faults.append(id_fault)
        elif run_id in seen:
            faults.append(f"id {json.dumps(run_id)} is also on line {seen[run_id]}")
        else:
            seen[run_id] = number
        artifact = item.get("artifact")
        if not isinstance(artifact, str) or not artifact:
            faults.append("artifact must be a non-empty path")
            artifact = ""
        else:
            artifact = os.path.join(folder, artifact)
            artifact_fault = _artifact_problem(artifact)
            if artifact_fault is not None:
                faults.append(artifact_fault)
        if faults:
            problems += [f"line {number}: {fault}" for fault in faults]
            continue
        runs.append(RunInput(run_id, artifact, *(item.get(name) for name in INPUT_MEMBERS[2:])))
    if problems:
        raise InputError(path, problems)
    return runs


def artifact_digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def file_digest(path: str) -> str:
    """The artifact digest of the bytes in the file at `path`."""
    with open(path, "rb") as stream:
        return hashlib.file_digest(stream, "sha256").hexdigest()


def input_digest(item: RunInput, artifact: str) -> str:
    """The sha256 of what the run is given: its four JSON values (objects
    taken in sorted key order) and its artifact, `artifact` being the
    artifact digest of its bytes. Not its id, nor its artifact's path."""
    values = [item.configuration, item.input_schedule, item.execution_controls, item.observation]
    try:
        text = json.dumps(values, sort_keys=True, separators=(",", ":"))
    except TypeError, ValueError, RecursionError:
        # Values that JSON cannot take fail the run itself; repr still tells
        # two of them apart.
        text = repr(values)
    return hashlib.sha256(f"{artifact}\0{text}".encode("utf-8", "surrogatepass")).hexdigest()
