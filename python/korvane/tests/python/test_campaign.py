"""Campaigns: `korvane batch` over a local process pool and over a real Dask
cluster on 127.0.0.1, with a bundle whose artifact says what the run does."""

from __future__ import annotations

import fcntl
import json
import os
import pathlib
import pty
import re
import select
import signal
import subprocess
import sys
import time

import pytest

from bundle_kit import BundleFolder

# The artifact is the run's command: "ok", "fail" (the machine fails),
# "raise" (execute raises), "die" (the worker process ends), "sleep S".
SOURCE = """
import json, os, time

def provider():
    with open(os.environ["CAMP_PROVIDER_LOG"], "a") as log:  # who discovers, and how often
        log.write(f"{os.getpid()}\\n")
    return PROVIDER_TEXT

def prepare(artifact, run_id, configuration, input_schedule, execution_controls, observation):
    return artifact.decode(), run_id, json.loads(configuration)

def execute(prepared, sinks, path):
    command, run_id, configuration = prepared
    if command.startswith("sleep"):
        time.sleep(float(command.split()[1]))
    if command == "raise":
        raise ValueError("asked to raise")
    if command == "die":
        os._exit(9)
    if path is not None:
        with open(path, "w") as stream:
            stream.write(json.dumps({"run_id": run_id}) + "\\n")
    return {
        "machine_execution": {"status": "failed" if command == "fail" else "completed"},
        "evidence_fulfillment": {"status": "complete"},
        "python_sink_delivery": {"status": "not_requested"},
        "recorder_finalization": {"status": "finalized" if path else "not_requested"},
        "publication": {"status": "published" if path else "not_published"},
        "published_run": {"published": True, "path": path} if path else None,
        "run_id": run_id,
        "configuration": configuration,
    }
"""


def install(root: pathlib.Path, version: str = "1.0.0") -> pathlib.Path:
    root.mkdir()
    BundleFolder(root).add("camp", source=SOURCE, bundle_version=version)
    return root


def environment(site: pathlib.Path) -> dict[str, str]:
    env = dict(
        os.environ,
        PYTHONPATH=os.pathsep.join(filter(None, [str(site), os.environ.get("PYTHONPATH")])),
        CAMP_PROVIDER_LOG=str(site.parent / "provider.log"),
    )
    env.pop("NO_COLOR", None)
    return env


def batch(site: pathlib.Path, *args: str, stderr: int = subprocess.PIPE) -> subprocess.Popen[str]:
    return subprocess.Popen(
        [sys.executable, "-m", "korvane_tools", "batch", *args],
        env=environment(site),
        stdout=subprocess.PIPE,
        stderr=stderr,
        text=True,
    )


def finish(proc: subprocess.Popen[str]) -> tuple[int, str, str]:
    out, err = proc.communicate(timeout=120)
    return proc.returncode, out, err


def write_inputs(folder: pathlib.Path, commands: dict[str, str]) -> pathlib.Path:
    """One run per id, its artifact a file holding the command."""
    lines = []
    for run_id, command in commands.items():
        (folder / f"{run_id}.txt").write_text(command)
        lines.append(json.dumps({"id": run_id, "artifact": f"{run_id}.txt", "configuration": {"n": run_id}}))
    path = folder / "runs.jsonl"
    path.write_text("\n".join(lines) + "\n")
    return path


def results(out: pathlib.Path) -> dict[str, dict[str, object]]:
    """results.jsonl by id; every line whole, no id twice."""
    lines = [json.loads(line) for line in (out / "results.jsonl").read_text().splitlines()]
    by_id = {line["id"]: line for line in lines}
    assert len(by_id) == len(lines), "an id written twice"
    return by_id


def word(line: dict[str, object]) -> str:
    result = line.get("result")
    return result["machine_execution"]["status"] if isinstance(result, dict) else line["error"]["type"]  # type: ignore[index]


def wait_for_lines(out: pathlib.Path, count: int) -> None:
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        path = out / "results.jsonl"
        if path.exists() and path.read_text().count("\n") >= count:
            return
        time.sleep(0.05)
    raise AssertionError(f"fewer than {count} results in time")


@pytest.fixture
def site(tmp_path: pathlib.Path) -> pathlib.Path:
    return install(tmp_path / "site")


# Each bad line, and what the command says of it (its line number first).
BAD_LINES = [
    ("[1]", "not a JSON object"),
    ('{"id": "a"', "not JSON"),
    ('{"id": "a"}', "artifact must be a non-empty path"),
    ('{"artifact": "gone.txt"}', "artifact "),
    ('{"artifact": "."}', "not a regular file"),
    ('{"artifact": "ok.txt", "configuraton": 1}', 'unknown member "configuraton"'),
    ('{"id": 7, "artifact": "ok.txt"}', "id must be a string"),
    ('{"id": "../x", "artifact": "ok.txt"}', "holds a '/'"),
    ('{"id": "\\ud800", "artifact": "ok.txt"}', "lone surrogate"),
    ('{"id": "1", "artifact": "ok.txt"}', 'id "1" is also on line 1'),
]


def test_bad_input_is_named_by_line_before_any_run(site, tmp_path):
    (tmp_path / "ok.txt").write_text("ok")
    (tmp_path / "runs.jsonl").write_text('{"artifact": "ok.txt"}\n\n' + "\n".join(line for line, _ in BAD_LINES))
    status, out, err = finish(batch(site, "camp", str(tmp_path / "runs.jsonl"), "--out", str(tmp_path / "out")))
    assert status == 2
    reported = err.splitlines()
    assert len(reported) == len(BAD_LINES)
    for number, ((_, problem), line) in enumerate(zip(BAD_LINES, reported), start=3):
        assert line.startswith(f"korvane batch: {tmp_path / 'runs.jsonl'}: line {number}: ") and problem in line
    assert not (tmp_path / "out").exists()


def test_unknown_machine_fails_before_any_run(site, tmp_path):
    inputs = write_inputs(tmp_path, {"a": "ok"})
    status, _, err = finish(batch(site, "nope", str(inputs), "--out", str(tmp_path / "out")))
    assert (status, results(tmp_path / "out")) == (3, {})
    assert 'no machine "nope"' in err and '"camp"' in err


def test_every_run_has_its_line_and_a_rerun_repeats_none(site, tmp_path):
    commands = {f"ok{i}": "ok" for i in range(6)} | {"fail": "fail", "raise": "raise", "die": "die"}
    inputs = write_inputs(tmp_path, commands)
    out = tmp_path / "out"
    status, summary, err = finish(
        batch(site, "camp", str(inputs), "--out", str(out), "--jobs", "2", "--chunk", "2", "--record")
    )
    assert status == 1, err
    lines = results(out)
    assert {run_id: word(line) for run_id, line in lines.items()} == {
        **{f"ok{i}": "completed" for i in range(6)},
        "fail": "failed",
        "raise": "ValueError",
        "die": "WorkerDied",
    }
    assert lines["ok3"]["result"]["configuration"] == {"n": "ok3"}  # type: ignore[index]
    assert {"run_id", "seconds", "worker"} <= lines["ok3"].keys() and lines["ok3"]["run_id"].startswith("python-camp-")
    assert sorted(path.name for path in (out / "recordings").iterdir()) == sorted(
        f"{run_id}.jsonl" for run_id in commands if run_id not in ("raise", "die")
    )
    first, *report = summary.splitlines()
    assert first == "9 runs: 6 completed, 1 failed, 2 error"
    assert "what went wrong: 3 in 3 causes" in report and any(
        "ValueError: asked to raise" in line and line.endswith("e.g. raise") for line in report
    )
    # The client and each worker process (a fresh pool's too, after the death) discover once.
    discoveries = (tmp_path / "provider.log").read_text().split()
    assert len(discoveries) >= 2 and len(set(discoveries)) == len(discoveries)

    # A kill while a line was being written: the cut line is dropped and its
    # run done again; the others are not repeated.
    text = (out / "results.jsonl").read_text()
    cut = text.rstrip("\n").rsplit("\n", 1)[0] + "\n"
    last = json.loads(text.splitlines()[-1])["id"]
    (out / "results.jsonl").write_text(cut + text.splitlines()[-1][:20])
    status, summary, err = finish(batch(site, "camp", str(inputs), "--out", str(out), "--json"))
    assert status == 1 and "cut short" in err
    assert json.loads(summary)["finished_earlier"] == 8
    assert results(out).keys() == commands.keys()
    assert (out / "results.jsonl").read_text().startswith(cut) and results(out)[last]["id"] == last

    # A second campaign on the same folder at the same time is refused.
    with open(out / "results.jsonl") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        status, _, err = finish(batch(site, "camp", str(inputs), "--out", str(out)))
    assert status == 2 and "in use by another korvane batch" in err


def test_ctrl_c_waits_for_the_runs_going_and_a_rerun_does_the_rest(site, tmp_path):
    inputs = write_inputs(tmp_path, {f"s{i}": "sleep 0.4" for i in range(12)})
    out = tmp_path / "out"
    # Standard error on a terminal, for the progress line.
    leader, follower = pty.openpty()
    proc = batch(site, "camp", str(inputs), "--out", str(out), "--jobs", "2", stderr=follower)
    os.close(follower)
    wait_for_lines(out, 2)
    proc.send_signal(signal.SIGINT)
    status, summary, _ = finish(proc)
    terminal = b""
    while select.select([leader], [], [], 5)[0]:
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # EIO once every writer has closed its side
            break
        if not chunk:
            break
        terminal += chunk
    os.close(leader)
    assert status == 130 and b"stopping" in terminal
    assert re.search(rb"\d+/12 runs  \d+\.\d/s  0:\d\d left", terminal), terminal
    first = results(out)
    assert 2 <= len(first) < 12 and all(word(line) == "completed" for line in first.values())
    assert "not run" in summary
    status, summary, err = finish(batch(site, "camp", str(inputs), "--out", str(out), "--jobs", "2"))
    assert status == 0 and len(results(out)) == 12
    assert summary.splitlines()[0] == f"12 runs: 12 completed ({len(first)} finished earlier, skipped)"
    assert err == ""  # no progress when standard error is not a terminal


# A real cluster: a scheduler and two worker processes on 127.0.0.1 ------------------------------


def _need_distributed() -> None:
    try:
        import distributed  # noqa: F401
    except ImportError:
        if os.environ.get("KORVANE_TESTS_NEED_DASK"):
            raise
        pytest.skip("distributed is not installed (pip install 'korvane[dask]')")


class Cluster:
    def __init__(
        self, folder: pathlib.Path, site: pathlib.Path, tls: tuple[str, ...] = (), security: object = None
    ) -> None:
        self.file = folder / "scheduler.json"
        self.env = environment(site)
        self.processes: list[subprocess.Popen[bytes]] = []
        self.start(
            "scheduler", "--host", "tls://127.0.0.1" if tls else "127.0.0.1", *tls, "--port", "0", "--no-dashboard"
        )
        deadline = time.monotonic() + 60
        while not self.file.exists() or not self.file.read_text().strip():
            assert time.monotonic() < deadline, "no scheduler"
            time.sleep(0.1)
        self.address = json.loads(self.file.read_text())["address"]
        # A healthy scheduler gets a minute to answer, however busy the machine.
        self.options = ("--scheduler", self.address, "--connect-timeout", "60")
        self.workers = [
            self.start("worker", "--host", "127.0.0.1", "--nthreads", "1", "--no-nanny", "--no-dashboard", *tls)
            for _ in range(2)
        ]
        import distributed

        with distributed.Client(self.address, timeout="60s", security=security) as client:
            client.wait_for_workers(2, timeout=60)

    def start(self, role: str, *args: str) -> subprocess.Popen[bytes]:
        proc = subprocess.Popen(
            [sys.executable, "-m", "dask", role, *args, "--scheduler-file", str(self.file)],
            env=self.env,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        self.processes.append(proc)
        return proc

    def close(self) -> None:
        for proc in self.processes:
            proc.kill()
            proc.wait()


@pytest.fixture
def cluster(tmp_path, site):
    _need_distributed()
    running = Cluster(tmp_path, site)
    yield running
    running.close()


def test_a_cluster_with_another_bundle_version_is_refused(cluster, tmp_path):
    other = install(tmp_path / "other", version="2.0.0")
    inputs = write_inputs(tmp_path, {"a": "ok"})
    status, _, err = finish(batch(other, "camp", str(inputs), "--out", str(tmp_path / "out"), *cluster.options))
    assert status == 3, err
    assert "2 of 2 workers differ" in err and "korvane-camp" in err and "2.0.0" in err and "1.0.0" in err
    assert err.count("tcp://127.0.0.1:") == 2  # each worker named
    assert results(tmp_path / "out") == {}


def test_a_worker_killed_mid_campaign_loses_no_run_and_repeats_none(cluster, site, tmp_path):
    commands = {f"s{i}": "sleep 0.3" for i in range(14)}
    inputs = write_inputs(tmp_path, commands)
    out = tmp_path / "out"
    proc = batch(site, "camp", str(inputs), "--out", str(out), *cluster.options, "--chunk", "2", "--json")
    wait_for_lines(out, 3)
    # Kill a worker that has finished runs (and is likely running more).
    done = (out / "results.jsonl").read_text().rsplit("\n", 1)[0].splitlines()
    pids = {int(json.loads(line)["worker"].rsplit(":", 1)[1]) for line in done}
    next(worker for worker in cluster.workers if worker.pid in pids).kill()
    status, summary, err = finish(proc)
    assert status == 0, err
    assert json.loads(summary)["outcomes"] == {"completed": 14}
    lines = results(out)
    assert lines.keys() == commands.keys()
    assert len({line["worker"] for line in lines.values()}) == 2
