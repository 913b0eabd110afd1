"""The recorder under faults: writers killed with SIGKILL, a full disk, a
read-only folder, and paths that name a FIFO, a socket, a device node, a
directory or a symbolic link.

Everything happens inside the test's own temporary folder: device nodes are
made there with mknod, file systems are mounted there. Whatever the fault,
the path must hold the complete old or the complete new recording, nothing
else may be touched, no temporary file may outlive the next run, and a
recording that was not published must be reported so.
"""

import contextlib
import json
import os
import random
import socket
import stat
import subprocess
import sys
import time

import pytest
from stack_testkit import is_complete_recording, run, temporaries  # noqa: F401

from korvane_stack import recording

OLD = "the previous recording\n"
SHORT = "push 7\nemit\npush 8\nemit"
# Emits 1000, 1001, ... until the step limit: five steps, about 60 bytes of
# recording, per value.
COUNTING = "push 1000\nloop: dup\nemit\npush 1\nadd\njmp loop"

CHILD = """
import json, resource, sys, time
import korvane_stack
from korvane_stack import recording

path, kind, count, mode = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
recording.UNNAMED_TEMPORARIES = recording.UNNAMED_TEMPORARIES and kind == "unnamed"
if mode.startswith("fsize="):
    limit = int(mode[6:])
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

class Sink:
    def emit_batch(self, run_id, start, values):
        if mode == "block" and start >= 4000:  # a few chunks of the recording are written
            print("writing", flush=True)
            time.sleep(600)
    def record_capability_outputs(self, run_id, outputs):
        pass
    def record_capability_receipts(self, run_id, receipts):
        pass

prepared = korvane_stack.prepare(sys.argv[5].encode(), "python-stack-1", "null", "null",
                                 json.dumps({"step_limit": 5 * count}), "null")
print("started", flush=True)
print(json.dumps(korvane_stack.execute(prepared, [Sink()], path)), flush=True)
"""


def start_child(path, kind, count, mode="run"):
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, str(path), kind, str(count), mode, COUNTING], stdout=subprocess.PIPE, text=True
    )
    assert child.stdout.readline() == "started\n"
    return child


def finish_child(child):
    output, _ = child.communicate(timeout=120)
    assert child.returncode == 0
    return json.loads(output)


def kill(child):
    child.kill()
    child.wait(timeout=30)


def old_or_complete_new(path):
    with open(path) as stream:
        if stream.read() == OLD:
            return "old"
    assert is_complete_recording(path)
    return "new"


def snapshot(folder):
    """Every entry under ``folder`` with what identifies it and its content."""
    entries = {}
    for directory, names, files in os.walk(folder):
        for name in names + files:
            path = os.path.join(directory, name)
            status = os.lstat(path)
            entries[os.path.relpath(path, folder)] = (
                status.st_mode,
                status.st_ino,
                status.st_rdev,
                status.st_size,
                status.st_mtime_ns,
                os.readlink(path) if stat.S_ISLNK(status.st_mode) else None,
            )
    return entries


def assert_not_published(result):
    assert result["recorder_finalization"]["status"] == "failed"
    assert result["recorder_finalization"]["error"]
    assert result["publication"] == {"status": "not_published"}
    assert result["published_run"] is None


# Killed writers ---------------------------------------------------------


def test_killed_writer_leaves_no_temporary_file_after_the_next_run(tmp_path, temporaries):
    path = tmp_path / "run.jsonl"
    path.write_text(OLD)
    child = start_child(path, temporaries, 100_000, mode="block")
    assert child.stdout.readline() == "writing\n"
    kill(child)
    left = sorted(os.listdir(tmp_path))
    if temporaries == "unnamed":
        assert left == ["run.jsonl"]  # the unnamed file died with its writer
    else:
        assert len(left) == 2 and f".{child.pid}." in left[0]  # ".run.jsonl.<host>.<pid>..."
    assert path.read_text() == OLD
    run(SHORT, recorder_path=str(path))
    assert os.listdir(tmp_path) == ["run.jsonl"]
    assert is_complete_recording(path)


def test_kill_trials_leave_the_old_or_the_complete_new_recording(tmp_path):
    path = tmp_path / "run.jsonl"
    path.write_text(OLD)
    # One whole run tells how long a run takes on this machine; the kills
    # then fall anywhere in it, or just after it.
    began = time.monotonic()
    finish_child(start_child(path, "named", 100_000))
    duration = time.monotonic() - began
    assert old_or_complete_new(path) == "new"
    seed = random.randrange(1 << 32)
    chance = random.Random(seed)
    seen = []
    for trial in range(8):
        path.write_text(OLD)
        kind = "unnamed" if trial % 2 == 0 and recording.UNNAMED_TEMPORARIES else "named"
        child = start_child(path, kind, 100_000)
        try:
            child.wait(timeout=chance.uniform(0.0, 1.2 * duration))
        except subprocess.TimeoutExpired:
            pass
        kill(child)
        seen.append(old_or_complete_new(path))
    print(f"seed {seed}, a run takes {duration:.2f} s: {seen}")
    # The temporary files of the killed writers go with the next run.
    run(SHORT, recorder_path=str(path))
    assert os.listdir(tmp_path) == ["run.jsonl"]


# A full disk ------------------------------------------------------------


def test_file_size_limit_fails_the_recording_honestly(tmp_path, temporaries):
    path = tmp_path / "run.jsonl"
    path.write_text(OLD)
    child = start_child(path, temporaries, 20_000, mode="fsize=200000")
    result = finish_child(child)
    assert_not_published(result)
    assert "File too large" in result["recorder_finalization"]["error"]
    assert result["machine_execution"]["status"] == "failed"  # the step limit, as planned
    assert len(result["outputs"]) == 20_000
    assert path.read_text() == OLD
    assert os.listdir(tmp_path) == ["run.jsonl"]


@contextlib.contextmanager
def tmpfs(folder, size):
    """A tmpfs of ``size`` mounted at ``folder`` for the block; skips the test
    where mounting is not allowed."""
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    folder.mkdir()
    mount = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", f"size={size},mode=0755", "korvane-faults", str(folder)],
        capture_output=True,
        text=True,
    )
    if mount.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mount.stderr.strip()}")
    try:
        yield folder
    finally:
        if subprocess.run(["umount", str(folder)]).returncode != 0:
            subprocess.run(["umount", "-l", str(folder)])


def test_full_file_system_fails_the_recording_honestly(tmp_path, temporaries):
    with tmpfs(tmp_path / "small", "64k") as folder:
        path = folder / "run.jsonl"
        path.write_text(OLD)
        result = run(COUNTING, recorder_path=str(path), controls={"step_limit": 50_000})
        assert_not_published(result)
        assert "No space left" in result["recorder_finalization"]["error"]
        assert path.read_text() == OLD
        assert os.listdir(folder) == ["run.jsonl"]


def test_read_only_folder_fails_the_recording_honestly(tmp_path, temporaries):
    if os.geteuid() == 0:
        # Root passes permission bits by, so the folder is a read-only mount.
        context = tmpfs(tmp_path / "locked", "1m")
    else:
        (tmp_path / "locked").mkdir()
        context = contextlib.nullcontext(tmp_path / "locked")
    with context as folder:
        path = folder / "run.jsonl"
        path.write_text(OLD)
        if os.geteuid() == 0:
            remount = subprocess.run(["mount", "-o", "remount,ro", str(folder)], capture_output=True, text=True)
            if remount.returncode != 0:
                pytest.skip(f"cannot make the mount read-only: {remount.stderr.strip()}")
        else:
            os.chmod(folder, 0o555)
        try:
            before = snapshot(folder)
            result = run(SHORT, recorder_path=str(path))
            assert_not_published(result)
            assert snapshot(folder) == before
            assert path.read_text() == OLD
        finally:
            if os.geteuid() != 0:
                os.chmod(folder, 0o755)


# What the path names ----------------------------------------------------


def make_fifo(path):
    os.mkfifo(path)


def make_socket(path):
    with socket.socket(socket.AF_UNIX) as listener:
        listener.bind(str(path))


def make_node(kind, major, minor):
    def make(path):
        try:
            os.mknod(path, kind | 0o666, os.makedev(major, minor))
        except PermissionError:
            pytest.skip("making device nodes needs CAP_MKNOD")

    return make


def make_directory(path):
    path.mkdir()
    (path / "inside").write_text("keep\n")


@pytest.mark.parametrize(
    "make",
    [
        make_fifo,
        make_socket,
        make_node(stat.S_IFCHR, 1, 3),  # a copy of the null device, in the temporary folder
        make_node(stat.S_IFBLK, 7, 0),  # a loop device node, never opened
        make_directory,
    ],
    ids=["fifo", "socket", "character-device", "block-device", "directory"],
)
@pytest.mark.parametrize("through", ["direct", "symlink", "symlink-chain"])
def test_special_files_at_the_path_are_left_untouched(tmp_path, temporaries, make, through):
    make(tmp_path / "target")
    path = tmp_path / "target"
    if through != "direct":
        os.symlink("target", tmp_path / "link")
        path = tmp_path / "link"
    if through == "symlink-chain":
        os.symlink("link", tmp_path / "outer")
        path = tmp_path / "outer"
    before = snapshot(tmp_path)
    result = run(SHORT, recorder_path=str(path))
    assert_not_published(result)
    assert "not a regular file" in result["recorder_finalization"]["error"]
    assert snapshot(tmp_path) == before


def test_symlink_loop_is_reported_and_left_untouched(tmp_path, temporaries):
    os.symlink("b.jsonl", tmp_path / "a.jsonl")
    os.symlink("a.jsonl", tmp_path / "b.jsonl")
    before = snapshot(tmp_path)
    result = run(SHORT, recorder_path=str(tmp_path / "a.jsonl"))
    assert_not_published(result)
    assert "symbolic links" in result["recorder_finalization"]["error"]
    assert snapshot(tmp_path) == before


def test_symlink_to_a_recording_is_written_through(tmp_path, temporaries):
    (tmp_path / "real.jsonl").write_text(OLD)
    os.chmod(tmp_path / "real.jsonl", 0o600)
    os.symlink("real.jsonl", tmp_path / "run.jsonl")
    result = run(SHORT, recorder_path=str(tmp_path / "run.jsonl"))
    assert result["publication"]["status"] == "published"
    assert os.readlink(tmp_path / "run.jsonl") == "real.jsonl"
    assert is_complete_recording(tmp_path / "real.jsonl")
    assert stat.S_IMODE(os.stat(tmp_path / "real.jsonl").st_mode) == 0o600
    assert sorted(os.listdir(tmp_path)) == ["real.jsonl", "run.jsonl"]
