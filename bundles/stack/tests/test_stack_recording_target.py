"""What the recorder does to the file at its path: permission bits, owners,
symbolic links, hard links, and the temporary files it leaves (none).

Every case runs with both kinds of temporary file: the unnamed one
(O_TMPFILE) and the named fallback."""

import os
import stat
import subprocess
import sys

import pytest
from stack_testkit import RecordingSink, is_complete_recording, run, temporaries  # noqa: F401

from korvane_stack import recording

PROGRAM = "push 7\nemit\npush 8\nemit"


@pytest.fixture
def umask():
    previous = os.umask(0o022)
    yield os.umask
    os.umask(previous)


def mode_of(path):
    return stat.S_IMODE(os.stat(path).st_mode)


@pytest.mark.parametrize(
    "old_mode, new_mode",
    [
        (0o600, 0o600),  # a private recording stays private
        (0o640, 0o640),
        (0o444, 0o444),  # read-only for everyone: still replaced, still read-only
        (0o6755, 0o755),  # set-id bits are not handed to the new file
    ],
)
def test_replaced_file_keeps_its_permission_bits(tmp_path, temporaries, umask, old_mode, new_mode):
    path = tmp_path / "run.jsonl"
    path.write_text("old\n")
    os.chmod(path, old_mode)
    result = run(PROGRAM, recorder_path=str(path))
    assert result["publication"]["status"] == "published"
    assert is_complete_recording(path)
    assert mode_of(path) == new_mode


@pytest.mark.parametrize("mask", [0o022, 0o077, 0o002, 0o000])
def test_new_file_gets_what_open_would_give(tmp_path, temporaries, umask, mask):
    umask(mask)
    run(PROGRAM, recorder_path=str(tmp_path / "run.jsonl"))
    with open(tmp_path / "by_open", "w"):
        pass
    assert mode_of(tmp_path / "run.jsonl") == mode_of(tmp_path / "by_open") == 0o666 & ~mask


@pytest.mark.skipif(os.geteuid() != 0, reason="giving a file to another owner needs root")
def test_replaced_file_keeps_its_owner_when_root(tmp_path, temporaries):
    path = tmp_path / "run.jsonl"
    path.write_text("old\n")
    os.chown(path, 12345, 23456)
    run(PROGRAM, recorder_path=str(path))
    assert (os.stat(path).st_uid, os.stat(path).st_gid) == (12345, 23456)
    assert is_complete_recording(path)


def test_private_recording_is_never_readable_by_others_while_written(tmp_path, temporaries):
    path = tmp_path / "run.jsonl"
    path.write_text("old\n")
    os.chmod(path, 0o600)
    seen = []

    class Looking(RecordingSink):
        def emit_batch(self, run_id, start, values):
            seen.extend((name, mode_of(tmp_path / name)) for name in os.listdir(tmp_path))

    run(PROGRAM, [Looking()], str(path), configuration={"batch_size": 1})
    assert seen and all(mode == 0o600 for _, mode in seen)
    if temporaries == "unnamed":
        assert {name for name, _ in seen} == {"run.jsonl"}


@pytest.mark.parametrize(
    "link, target",
    [
        ("run.jsonl", "data/real.jsonl"),  # relative, into another folder
        ("run.jsonl", "{tmp}/data/real.jsonl"),  # absolute
        ("run.jsonl", "hop.jsonl -> data/real.jsonl"),  # a chain of two links
    ],
)
def test_symlink_is_followed_and_the_file_it_names_is_replaced(tmp_path, temporaries, link, target):
    (tmp_path / "data").mkdir()
    real = tmp_path / "data" / "real.jsonl"
    real.write_text("old\n")
    os.chmod(real, 0o640)
    hops = [part.replace("{tmp}", str(tmp_path)) for part in target.split(" -> ")]
    names = [link] + hops[:-1]
    for name, points_to in zip(names, hops):
        os.symlink(points_to, tmp_path / name)
    result = run(PROGRAM, recorder_path=str(tmp_path / link))
    assert result["publication"]["status"] == "published"
    assert result["published_run"]["path"] == str(tmp_path / link)
    assert os.path.samefile(result["recorder_finalization"]["target"], real)
    for name, points_to in zip(names, hops):
        assert os.readlink(tmp_path / name) == points_to  # the links stay links
    assert is_complete_recording(real) and mode_of(real) == 0o640
    assert os.listdir(tmp_path / "data") == ["real.jsonl"]


def test_dangling_symlink_creates_the_file_it_names(tmp_path, temporaries):
    os.symlink("new.jsonl", tmp_path / "run.jsonl")
    assert run(PROGRAM, recorder_path=str(tmp_path / "run.jsonl"))["publication"]["status"] == "published"
    assert os.path.islink(tmp_path / "run.jsonl") and is_complete_recording(tmp_path / "new.jsonl")


def test_hard_linked_path_gets_a_new_inode(tmp_path, temporaries):
    path, other = tmp_path / "run.jsonl", tmp_path / "other.jsonl"
    path.write_text("old\n")
    os.link(path, other)
    run(PROGRAM, recorder_path=str(path))
    assert is_complete_recording(path) and other.read_text() == "old\n"
    assert not os.path.samefile(path, other)


def test_a_full_disk_during_the_run_fails_honestly(tmp_path, temporaries, monkeypatch):
    path = tmp_path / "run.jsonl"
    path.write_text("old\n")
    real_write = os.write

    def write(fd, data):
        if os.fstat(fd).st_size > 100_000:
            raise OSError(28, "No space left on device")
        return real_write(fd, data)

    monkeypatch.setattr(os, "write", write)
    # About 60 bytes a line for 5,000 emitted values: the disk fills mid-run.
    result = run(
        "push 0\nloop: dup\nemit\npush 1\nadd\njmp loop", recorder_path=str(path), controls={"step_limit": 25_000}
    )
    assert result["recorder_finalization"]["status"] == "failed"
    assert "No space left" in result["recorder_finalization"]["error"]
    assert result["publication"]["status"] == "not_published"
    assert len(result["outputs"]) == 5_000  # the run itself went on to its end
    assert path.read_text() == "old\n"
    assert os.listdir(tmp_path) == ["run.jsonl"]


# Stale temporary files --------------------------------------------------


def dead_pid():
    child = subprocess.Popen([sys.executable, "-c", ""])
    child.wait()
    return child.pid


@pytest.mark.parametrize(
    "entry, removed",
    [
        (".run.jsonl.{host}.{dead}.0123456789abcdef.tmp", True),
        (".run.jsonl.{host}.{own}.0123456789abcdef.tmp", False),  # this process writes it
        (".run.jsonl.{host}.1.0123456789abcdef.tmp", False),  # its writer lives
        (".run.jsonl.elsewhere.{dead}.0123456789abcdef.tmp", False),  # another host's writer
        (".other.jsonl.{host}.{dead}.0123456789abcdef.tmp", False),  # another recording
        (".run.jsonl.{host}.{dead}.0123456789abcdef.tmp/", False),  # a directory
        (".run.jsonl.{host}.{dead}.0123456789abcdef.tmp@", False),  # a symbolic link
        (".run.jsonl.0123456789abcdef.tmp", False),  # no writer named
    ],
)
def test_temporaries_of_dead_writers_are_removed(tmp_path, temporaries, entry, removed):
    name = entry.rstrip("/@").format(host=recording._HOST, dead=dead_pid(), own=os.getpid())
    if entry.endswith("/"):
        (tmp_path / name).mkdir()
    elif entry.endswith("@"):
        (tmp_path / "elsewhere").write_text("keep\n")
        os.symlink("elsewhere", tmp_path / name)
    else:
        (tmp_path / name).write_text("partial")
    run(PROGRAM, recorder_path=str(tmp_path / "run.jsonl"))
    assert (tmp_path / name).exists() is not removed
    assert os.path.lexists(tmp_path / name) is not removed
    assert is_complete_recording(tmp_path / "run.jsonl")
