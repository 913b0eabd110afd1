"""Campaigns: `korvane batch` over a local process pool and over a real Dask
cluster on 127.0.0.1, with a bundle whose artifact says what the run does, and
`korvane report` over a results file."""

from __future__ import annotations

import argparse
import contextlib
import fcntl
import json
import os
import pathlib
import pty
import re
import select
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from typing import Any

import pytest

from bundle_kit import VALID_RESULT, BundleFolder

# The artifact is the run's command: "ok", "fail" (the machine fails), "die"
# (the worker process ends), "sleep S", "evidence" (left incomplete),
# "unrecorded" (the recorder fails), or one of RAISES (execute raises). With
# CAMP_CHDIR set, the bundle changes folder when imported.
SOURCE = """
import json, os, time

class Quit(BaseException): pass

class Unprintable(Exception):
    def __str__(self): raise RuntimeError("no text")

RAISES = {"interrupt": KeyboardInterrupt, "exit": SystemExit, "quit": Quit, "unprintable": Unprintable,
          "raise": lambda: ValueError("asked to raise")}
if os.environ.get("CAMP_CHDIR"):
    os.chdir(os.environ["CAMP_CHDIR"])

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
    if command == "die":
        os._exit(9)
    if command in RAISES:
        raise RAISES[command]()
    recorded = path is not None and command != "unrecorded"
    if recorded:
        with open(path, "w") as stream:
            stream.write(json.dumps({"run_id": run_id}) + "\\n")
    return {
        "machine_execution": {"status": "failed" if command == "fail" else "completed"},
        "evidence_fulfillment": {"status": "incomplete" if command == "evidence" else "complete"},
        "python_sink_delivery": {"status": "not_requested"},
        "recorder_finalization": {"status": "finalized" if recorded else "failed" if path else "not_requested"},
        "publication": {"status": "published" if recorded else "not_published"},
        "published_run": {"published": True, "path": path} if recorded else None,
        "run_id": run_id,
        "configuration": configuration,
    }
"""


def install(root: pathlib.Path, version: str = "1.0.0") -> pathlib.Path:
    root.mkdir()
    BundleFolder(root).add("camp", source=SOURCE, bundle_version=version)
    return root


def environment(site: pathlib.Path) -> dict[str, str]:
    path = os.pathsep.join(filter(None, [str(site), os.environ.get("PYTHONPATH")]))
    env = dict(os.environ, PYTHONPATH=path, CAMP_PROVIDER_LOG=str(site.parent / "provider.log"))
    env.pop("NO_COLOR", None)
    return env


def batch(site: pathlib.Path, *args: str, env: dict[str, str] | None = None, **popen: Any) -> subprocess.Popen[str]:
    popen.setdefault("stderr", subprocess.PIPE)
    argv = [sys.executable, "-m", "korvane_tools", "batch", *args]
    return subprocess.Popen(argv, env=environment(site) | (env or {}), stdout=subprocess.PIPE, text=True, **popen)


def finish(proc: subprocess.Popen[str]) -> tuple[int, str, str]:
    out, err = proc.communicate(timeout=120)
    return proc.returncode, out, err


def camp(site: pathlib.Path, inputs: pathlib.Path, out: pathlib.Path, *options: str) -> tuple[int, str, str]:
    """A campaign of the camp machine, run to its end."""
    return finish(batch(site, "camp", str(inputs), "--out", str(out), *options))


def write_inputs(folder: pathlib.Path, commands: dict[str, str]) -> pathlib.Path:
    """One run per id, its artifact a file holding the command."""
    for run_id, command in commands.items():
        (folder / f"{run_id}.txt").write_text(command)
    lines = [{"id": run_id, "artifact": f"{run_id}.txt", "configuration": {"n": run_id}} for run_id in commands]
    (folder / "runs.jsonl").write_text("".join(json.dumps(line) + "\n" for line in lines))
    return folder / "runs.jsonl"


def jsonl(path: pathlib.Path) -> list[Any]:
    return [json.loads(line) for line in path.read_text().splitlines()]


def results(out: pathlib.Path) -> dict[str, dict[str, Any]]:
    """results.jsonl by id; every line whole, no id twice."""
    lines = jsonl(out / "results.jsonl")
    by_id = {line["id"]: line for line in lines}
    assert len(by_id) == len(lines), "an id written twice"
    return by_id


def words(out: pathlib.Path) -> dict[str, str]:
    """Each run's word: its machine status, else its error type."""
    found = {}
    for run_id, line in results(out).items():
        found[run_id] = line["result"]["machine_execution"]["status"] if line.get("result") else line["error"]["type"]
    return found


def sleepers(count: int, seconds: float, prefix: str = "s") -> dict[str, str]:
    return {f"{prefix}{i}": f"sleep {seconds}" for i in range(count)}


def wait_until(ready: Callable[[], object], what: str) -> None:
    """Polls for up to a minute, however busy the machine."""
    deadline = time.monotonic() + 60
    while not ready():
        assert time.monotonic() < deadline, what
        time.sleep(0.05)


def wait_for_lines(out: pathlib.Path, count: int) -> None:
    path = out / "results.jsonl"
    wait_until(lambda: path.exists() and path.read_text().count("\n") >= count, f"fewer than {count} results")


def processes(site: pathlib.Path) -> list[str]:
    """The processes running with this test's environment: the command, its
    forkserver, workers and resource tracker."""
    marker = f"CAMP_PROVIDER_LOG={site.parent / 'provider.log'}".encode()
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        with contextlib.suppress(OSError):
            if entry.name.isdigit() and marker in (entry / "environ").read_bytes().split(b"\0"):
                found.append(entry.name)
    return found


def edit_code(site: pathlib.Path) -> None:
    """The camp bundle's code edited, its version kept."""
    camp = next(path for path in site.glob("*.py") if '"machine_id": "camp"' in path.read_text())
    with open(camp, "a") as code:
        code.write("# edited, its version kept\n")


def korvane_9(site: pathlib.Path) -> None:
    (site / "korvane-9.dist-info").mkdir()
    (site / "korvane-9.dist-info" / "METADATA").write_text("Version: 9\n")


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
    status, _, err = camp(site, tmp_path / "runs.jsonl", tmp_path / "out")
    assert (status, len(err.splitlines())) == (2, len(BAD_LINES))
    for number, ((_, problem), line) in enumerate(zip(BAD_LINES, err.splitlines()), start=3):
        assert line.startswith(f"korvane batch: {tmp_path / 'runs.jsonl'}: line {number}: ") and problem in line
    assert not (tmp_path / "out").exists()


def listening(reply: bytes = b"") -> socket.socket:
    """A server on 127.0.0.1 that never answers, or answers `reply` and hangs up."""
    server = socket.create_server(("127.0.0.1", 0))

    def answer() -> None:
        with contextlib.suppress(OSError):
            while True:
                with server.accept()[0] as peer:
                    peer.sendall(reply)

    if reply:
        threading.Thread(target=answer, daemon=True).start()
    return server


# Campaigns refused before any run: the machine and options, the exit status and
# what the command says; {silent} is a port that never answers, {closed} one that
# refuses, {http} one that answers HTTP. Only the silent one makes it wait: 2 s.
REFUSALS = [
    (["nope"], 3, 'no machine "nope" among the installed bundles (installed: "camp")'),
    (["camp", "--grace", "nan"], 2, "argument --grace: must be a finite number of seconds"),
    (["camp", "--grace", "inf"], 2, "argument --grace: must be a finite number of seconds"),
    (["camp", "--timeout", "0"], 2, "argument --timeout: must be above 0"),
    (["camp", "--timeout=-inf"], 2, "argument --timeout: must be a finite number of seconds"),
    (["camp", "--retries", "-1"], 2, "argument --retries: must be at least 0"),
    (["camp", "--scheduler", "tcp://{closed}"], 3, "cannot reach the scheduler tcp://{closed}: Connection refused"),
    (["camp", "--scheduler", "tcp://{http}"], 3, "tcp://{http} is not a Dask scheduler"),
    (["camp", "--scheduler", "tcp://{silent}", "--connect-timeout", "2"], 3, "tcp://{silent} accepts connections but"),
    (["camp", "--scheduler", "tls://{silent}"], 3, "tls://{silent} is a TLS address: give --tls-ca-file"),
    (["camp", "--scheduler", "tcp://{silent}", "--tls-ca-file", "ca.pem"], 2, "the --tls-* options need --scheduler"),
    (["camp", "--scheduler", "tls://{silent}", "--tls-ca-file", "gone.pem"], 2, "--tls-ca-file gone.pem: No such file"),
    (["camp", "--scheduler", "tcp://{silent}", "--connect-timeout", "nan"], 2, "--connect-timeout: must be a finite"),
    (["camp", "--scheduler", "tcp://{silent}", "--connect-timeout", "0"], 2, "--connect-timeout: must be above 0"),
]


@pytest.mark.parametrize(("args", "status", "said"), REFUSALS)
def test_a_campaign_refused_before_any_run_says_why(site, tmp_path, monkeypatch, args, status, said):
    if "--scheduler" in args:
        _need_distributed()
    monkeypatch.chdir(tmp_path)  # the options name files here
    pathlib.Path("ca.pem").write_text("")
    write_inputs(tmp_path, {"a": "ok"})
    servers = dict(silent=listening(), closed=listening(), http=listening(b"HTTP/1.0 400 Bad Request\r\n\r\n"))
    where = {name: "127.0.0.1:%d" % server.getsockname()[1] for name, server in servers.items()}
    servers["closed"].close()
    machine, *options = (arg.format(**where) for arg in args)
    code, _, err = finish(batch(site, machine, "runs.jsonl", "--out", "out", *options))
    for server in servers.values():
        server.close()
    assert code == status and said.format(**where) in err, err
    # Refused as a command line is, or in one line (no word of Dask's own) with nothing run.
    assert not (tmp_path / "out").exists() if status == 2 else err.count("\n") == 1 and results(tmp_path / "out") == {}


def test_every_run_has_its_line_and_a_rerun_repeats_none(site, tmp_path):
    commands = {f"ok{i}": "ok" for i in range(6)} | {"fail": "fail", "raise": "raise", "die": "die"}
    inputs, out = write_inputs(tmp_path, commands), tmp_path / "out"
    status, summary, err = camp(site, inputs, out, "--jobs", "2", "--chunk", "2", "--record")
    assert status == 1, err
    lines = results(out)
    done = {"fail": "failed", "raise": "ValueError", "die": "WorkerDied"}
    assert words(out) == dict.fromkeys(commands, "completed") | done
    assert lines["ok3"]["result"]["configuration"] == {"n": "ok3"}
    assert {"run_id", "seconds", "worker"} <= lines["ok3"].keys() and lines["ok3"]["run_id"].startswith("python-camp-")
    assert {path.name for path in (out / "recordings").iterdir()} == {
        f"{i}.jsonl" for i in commands.keys() - {"raise", "die"}
    }
    first, *report = summary.splitlines()
    assert first == "9 runs: 6 completed, 1 failed, 2 error" and "what went wrong: 3 in 3 causes" in report
    assert any(line.endswith("e.g. raise") and "ValueError: asked to raise" in line for line in report)
    # The run that ends its worker is tried alone twice more, then blamed; no neighbour ever is.
    tries = jsonl(out / "attempts.jsonl")
    assert [(t["id"], t["attempt"]) for t in tries if t["reason"] == "worker_died"] == [("die", 1), ("die", 2)]
    assert "no other run going" in lines["die"]["error"]["message"]
    # The client and each worker process (a fresh pool's too, after the death) discover once.
    discoveries = (tmp_path / "provider.log").read_text().split()
    assert len(discoveries) >= 2 and len(set(discoveries)) == len(discoveries)

    # A kill while a line was being written: the cut line is dropped and its
    # run done again; the others are not repeated.
    text = (out / "results.jsonl").read_text()
    cut = text.rstrip("\n").rsplit("\n", 1)[0] + "\n"
    last = json.loads(text.splitlines()[-1])["id"]
    (out / "results.jsonl").write_text(cut + text.splitlines()[-1][:20])
    status, summary, err = camp(site, inputs, out, "--json")
    assert status == 1 and "cut short" in err
    assert json.loads(summary)["finished_earlier"] == 8
    assert results(out).keys() == commands.keys()
    assert (out / "results.jsonl").read_text().startswith(cut) and results(out)[last]["id"] == last

    # A second campaign on the same folder at the same time is refused.
    with open(out / "results.jsonl") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        status, _, err = camp(site, inputs, out)
    assert status == 2 and "in use by another korvane batch" in err


# Campaigns of one kind of fault each: the runs (id: command), options, exit
# status and the runs' words (machine status, else error type) besides "completed".
RAISED = {"interrupt": "KeyboardInterrupt", "exit": "SystemExit", "quit": "Quit", "unprintable": "Unprintable"}
OUTCOMES = {
    "a run's own BaseException": ({"ok": "ok"} | {run: run for run in RAISED}, [], 1, RAISED),
    "evidence incomplete": ({"ok": "ok", "evidence": "evidence"}, [], 4, {}),
    "recording failed": ({"evidence": "evidence", "unrecorded": "unrecorded"}, ["--record"], 5, {}),
    "hung run": ({"hang": "sleep 3600"} | sleepers(5, 0.3), ["--jobs", "2", "--timeout", "30"], 1, {"hang": "Timeout"}),
}


@pytest.mark.parametrize(("commands", "options", "status", "said"), OUTCOMES.values(), ids=OUTCOMES)
def test_each_run_has_its_own_outcome_and_a_rerun_repeats_none(site, tmp_path, commands, options, status, said):
    inputs, out = write_inputs(tmp_path, commands), tmp_path / "out"
    for earlier in (0, len(commands)):
        code, summary, err = camp(site, inputs, out, "--json", *options)
        assert (code, json.loads(summary)["finished_earlier"]) == (status, earlier), err
        assert words(out) == dict.fromkeys(commands, "completed") | said
    report, lines = json.loads(summary), results(out)
    assert (report["evidence_incomplete"] > 0, report["recording_failed"] > 0) == (status in (4, 5), status == 5)
    for line in lines.values():
        assert line["statuses"].keys() == {"machine", "evidence", "delivery", "recording", "publication"}
        assert (line["statuses"]["machine"] is None) == ("error" in line)
    if "unrecorded" in lines:
        assert lines["unrecorded"]["statuses"]["recording"] == "failed"
    if "unprintable" in lines:
        assert lines["unprintable"]["error"]["message"] == "Unprintable()"
    if "hang" in lines:  # its neighbours lost with the pool and tried again
        assert lines["hang"]["outcome"] == "timeout" and lines["hang"]["seconds"] >= 30
        assert {t["reason"] for t in jsonl(out / "attempts.jsonl")} <= {"time_limit_neighbour"}


# A stop mid-campaign: the signal to the command's whole process group (None: a
# SIGINT to the command alone), the runs' command, --grace, and whether runs were cut.
STOPS = [
    pytest.param(None, "sleep 0.4", "60", False, id="SIGINT to the command"),
    pytest.param(signal.SIGTERM, "sleep 1", "60", False, id="SIGTERM"),
    pytest.param(signal.SIGINT, "sleep 1", "60", False, id="SIGINT, as Ctrl-C sends it"),
    pytest.param(signal.SIGTERM, "sleep 3600", "0.5", True, id="SIGTERM, hung runs cut"),
]


@pytest.mark.parametrize(("sig", "command", "grace", "cut"), STOPS)
def test_a_stop_waits_for_the_runs_going_and_a_rerun_does_the_rest(site, tmp_path, sig, command, grace, cut):
    commands = {"ok": "ok"} | {f"s{i}": command for i in range(6)}
    inputs, out = write_inputs(tmp_path, commands), tmp_path / "out"
    options = ("--jobs", "2", "--grace", grace, "--json")
    leader, follower = pty.openpty()  # standard error on a terminal, for the progress line
    proc = batch(site, "camp", str(inputs), "--out", str(out), *options, stderr=follower, start_new_session=True)
    os.close(follower)
    wait_for_lines(out, 1)
    os.killpg(proc.pid, sig) if sig else proc.send_signal(signal.SIGINT)
    code, summary, _ = finish(proc)
    err = b""
    with contextlib.suppress(OSError):  # EIO once every writer has closed its side
        while select.select([leader], [], [], 5)[0] and (chunk := os.read(leader, 65536)):
            err += chunk
    os.close(leader)
    report, first = json.loads(summary), words(out)
    going = report["still_going"]
    assert code == 130 and "stopping" in err.decode() and set(first.values()) == {"completed"}
    assert report["not_run"] == len(commands) - len(first) > 0 and report["stopped"]
    assert cut or re.search(rb"\d+/7 runs  \d+\.\d/s  0:\d\d left", err), err
    wait_until(lambda: not processes(site), "processes left")
    tries = jsonl(out / "attempts.jsonl")
    if cut:
        assert going and set(going) <= commands.keys() - results(out).keys() and ", ".join(going) in err.decode()
        assert {t["id"] for t in tries} == set(going) and {t["reason"] for t in tries} == {"stopped"}
    else:
        assert (going, tries) == ([], []) and len(first) >= 2
        code, summary, err = camp(site, inputs, out, "--jobs", "2")  # no progress when standard error is not a terminal
        assert (code, err, results(out).keys()) == (0, "", commands.keys())
        assert summary.startswith(f"7 runs: 7 completed ({len(first)} finished earlier, skipped)")


def test_kill_9_ends_the_workers_and_recordings_stay_where_they_were_asked(site, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    inputs = write_inputs(tmp_path, {"ok": "ok", "s0": "sleep 5", "s1": "sleep 5"})
    env = {"CAMP_CHDIR": str(elsewhere)}  # the bundle changes folder when imported
    proc = batch(site, "camp", str(inputs), "--out", "out", "--jobs", "2", "--record", cwd=tmp_path, env=env)
    wait_for_lines(tmp_path / "out", 1)
    proc.kill()
    proc.communicate()
    wait_until(lambda: not processes(site), "processes left")  # so no recording is written after the kill
    assert [path.name for path in (tmp_path / "out" / "recordings").iterdir()] == ["ok.jsonl"]
    assert list(elsewhere.iterdir()) == []


# A real cluster: a scheduler and two worker processes on 127.0.0.1 ------------------------------


def _need_distributed() -> None:
    if not os.environ.get("KORVANE_TESTS_NEED_DASK"):  # else a missing distributed fails the test
        pytest.importorskip("distributed", reason="distributed is not installed (pip install 'korvane[dask]')")


class Cluster(contextlib.AbstractContextManager["Cluster"]):
    """Its scheduler and workers started with the test's environment, and all of them ended on leaving."""

    def __init__(self, folder: pathlib.Path, site: pathlib.Path, tls=(), security=None, nanny=False) -> None:
        folder.mkdir(exist_ok=True)
        self.file = folder / "scheduler.json"
        self.env = environment(site)
        self.processes: list[subprocess.Popen[bytes]] = []
        host = "tls://127.0.0.1" if tls else "127.0.0.1"
        self.start("scheduler", "--host", host, *tls, "--port", "0", "--no-dashboard")
        wait_until(lambda: self.file.exists() and self.file.read_text().strip(), "no scheduler")
        self.address = json.loads(self.file.read_text())["address"]
        # A healthy scheduler gets a minute to answer, however busy the machine.
        self.options = ("--scheduler", self.address, "--connect-timeout", "60")
        nannied = "--nanny" if nanny else "--no-nanny"  # a nanny brings a dead worker back
        worker = ("--host", "127.0.0.1", "--nthreads", "1", nannied, "--no-dashboard", *tls)
        self.workers = [self.start("worker", *worker) for _ in range(2)]
        self.wait_for_workers(2, security)

    def wait_for_workers(self, count: int, security: object = None) -> None:
        import distributed

        with distributed.Client(self.address, timeout="60s", security=security) as client:
            client.wait_for_workers(count, timeout=60)
            self.worker_addresses = list(client.scheduler_info()["workers"])

    def start(self, role: str, *args: str, env: dict[str, str] | None = None) -> subprocess.Popen[bytes]:
        argv = [sys.executable, "-m", "dask", role, *args, "--scheduler-file", str(self.file)]
        proc = subprocess.Popen(argv, env=env or self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(proc)
        return proc

    def __exit__(self, *_: object) -> None:
        for proc in self.processes:
            proc.kill()
            proc.wait()


@pytest.fixture
def cluster(tmp_path, site):
    _need_distributed()
    with Cluster(tmp_path, site) as running:
        yield running


def test_a_cluster_with_another_bundle_version_is_refused(cluster, tmp_path):
    other = install(tmp_path / "other", version="2.0.0")
    status, _, err = camp(other, write_inputs(tmp_path, {"a": "ok"}), tmp_path / "out", *cluster.options)
    assert status == 3, err
    assert "2 of 2 workers differ" in err and "korvane-camp" in err and "2.0.0" in err and "1.0.0" in err
    assert err.count("tcp://127.0.0.1:") == 2  # each worker named
    assert results(tmp_path / "out") == {}


def test_time_limits_on_dask_kill_a_hung_run_in_its_own_child(cluster, site, tmp_path):
    commands = {"hang": "sleep 3600", "die": "die"} | sleepers(3, 0.3)
    options = ("--timeout", "30", "--chunk", "2", *cluster.options)
    code, _, err = camp(site, write_inputs(tmp_path, commands), tmp_path / "out", *options)
    lines = results(tmp_path / "out")
    expected = dict.fromkeys(commands, "completed") | {"hang": "Timeout", "die": "WorkerDied"}
    assert code == 1 and words(tmp_path / "out") == expected, err
    assert lines["hang"]["outcome"] == "timeout" and lines["hang"]["seconds"] >= 30
    assert lines["s0"]["worker"].rsplit(":", 1)[1] in {str(worker.pid) for worker in cluster.workers}
    # The hung run's child was killed, not left running.
    assert not [path for path in pathlib.Path("/proc").glob("[0-9]*/cmdline") if b"campaign.child" in _read(path)]


def _read(path: pathlib.Path) -> bytes:
    try:
        return path.read_bytes()
    except OSError:
        return b""


def test_a_worker_killed_mid_campaign_loses_no_run_and_repeats_none(cluster, site, tmp_path):
    commands = sleepers(14, 0.3)
    inputs, out = write_inputs(tmp_path, commands), tmp_path / "out"
    proc = batch(site, "camp", str(inputs), "--out", str(out), *cluster.options, "--chunk", "2", "--json")
    wait_for_lines(out, 3)
    # Kill a worker that has finished runs (and is likely running more).
    done = (out / "results.jsonl").read_text().rsplit("\n", 1)[0].splitlines()
    pids = {int(json.loads(line)["worker"].rsplit(":", 1)[1]) for line in done}
    next(worker for worker in cluster.workers if worker.pid in pids).kill()
    status, summary, err = finish(proc)
    assert (status, json.loads(summary)["outcomes"]) == (0, {"completed": 14}), err
    lines = results(out)
    assert lines.keys() == commands.keys() and len({line["worker"] for line in lines.values()}) == 2


@pytest.mark.parametrize("loss", ["killed", "stopped"])
def test_a_scheduler_lost_mid_campaign_ends_it_and_a_rerun_finishes_it(cluster, site, tmp_path, loss):
    worker = cluster.worker_addresses[0]
    inputs, out = write_inputs(tmp_path, sleepers(16, 0.5)), tmp_path / "out"
    code, _, err = camp(site, inputs, out, "--scheduler", worker)
    assert code == 3 and f"{worker} is a Dask Worker, not a scheduler" in err

    # A stopped scheduler keeps its connections open: only its silence tells (12 s here, the least Dask takes; the case runs alone).
    silence = {"DASK_DISTRIBUTED__COMM__TIMEOUTS__TCP": "12s" if loss == "stopped" else "30s"}
    proc = batch(site, "camp", str(inputs), "--out", str(out), *cluster.options, "--json", env=silence)
    wait_for_lines(out, 2)
    cluster.processes[0].send_signal(signal.SIGKILL if loss == "killed" else signal.SIGSTOP)  # the scheduler
    code, summary, err = finish(proc)
    said = "the connection to it broke" if loss == "killed" else "no answer for 12 s"
    assert code == 3 and f"lost the scheduler {cluster.address}: {said}" in json.loads(summary)["failure"], err
    assert err.count("\n") == 1 and "lost the scheduler" in err  # and no line of Dask's own
    first = words(out)  # every line whole
    assert 2 <= len(first) < 16 and set(first.values()) == {"completed"}
    with Cluster(tmp_path / "again", site) as other:
        code, summary, err = camp(site, inputs, out, *other.options)
    assert code == 0 and len(results(out)) == 16, err
    assert summary.startswith(f"16 runs: 16 completed ({len(first)} finished earlier")


def test_a_run_that_ends_its_workers_is_blamed_alone_and_its_neighbours_complete(site, tmp_path, monkeypatch):
    _need_distributed()
    monkeypatch.setenv("DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES", "0")  # Dask gives up at the first death
    commands = sleepers(12, 0.2, "r") | {"r1": "die"}  # in the first chunk, with r0, r2, r3
    inputs = write_inputs(tmp_path, commands)
    with Cluster(tmp_path, site, nanny=True) as running:
        code, _, err = camp(site, inputs, tmp_path / "out", "--chunk", "4", "--retries", "1", *running.options)
    assert code == 1 and words(tmp_path / "out") == dict.fromkeys(commands, "completed") | {"r1": "WorkerDied"}, err
    tries = jsonl(tmp_path / "out" / "attempts.jsonl")
    assert {"r0", "r2", "r3"} <= {line["id"] for line in tries} and all(line["retried"] for line in tries)
    # Given up on with its chunk, then alone, once more than --retries allows, before it is blamed.
    assert ["not the only run out" in line["message"] for line in tries if line["id"] == "r1"] == [True, False]


@pytest.mark.parametrize("differ, said", [(edit_code, 'other code for machine "camp"'), (korvane_9, "has korvane 9,")])
def test_a_worker_that_joins_late_and_differs_runs_nothing_and_is_named(cluster, site, tmp_path, differ, said):
    differ(shutil.copytree(site, tmp_path / "late"))
    inputs, out = write_inputs(tmp_path, sleepers(40, 0.2)), tmp_path / "out"
    proc = batch(site, "camp", str(inputs), "--out", str(out), *cluster.options, "--json")
    wait_for_lines(out, 2)
    late = cluster.start("worker", "--host", "127.0.0.1", "--no-nanny", env=environment(tmp_path / "late"))
    cluster.wait_for_workers(3)
    for worker in cluster.workers:  # the late one is left with the runs
        worker.kill()
    code, summary, err = finish(proc)
    assert code == 3 and f":{late.pid} " in err and said in err and said in json.loads(summary)["failure"], err
    assert not any(str(line["worker"]).endswith(f":{late.pid}") for line in results(out).values())


def test_a_campaign_over_tls_as_the_docs_say(site, tmp_path, monkeypatch):
    _need_distributed()
    from distributed.security import Security

    # The recipe's commands, from the docs' block.
    text = (pathlib.Path(__file__).resolve().parents[4] / "docs" / "campaigns.md").read_text()
    block = text[text.index("## On a Dask cluster") :].split("```sh\n", 1)[1].split("```", 1)[0]
    recipe = [shlex.split(line) for line in block.splitlines() if line.strip() and not line.startswith("#")]
    monkeypatch.chdir(tmp_path)  # the recipe's files are made and named here
    for openssl in (argv for argv in recipe if argv[0] == "openssl"):
        subprocess.run(openssl, check=True, capture_output=True)
    scheduler, worker = sorted((argv for argv in recipe if argv[0] == "dask"), key=lambda argv: argv[1])
    [korvane] = [argv for argv in recipe if argv[0] == "korvane"]
    tls = [[pair for pair in zip(a, a[1:]) if pair[0].startswith("--tls-")] for a in (scheduler, worker, korvane)]
    assert scheduler[1:4] == ["scheduler", "--host", "tls://10.0.0.1"] and tls[0] == tls[1] and len(tls[0]) == 3
    client = dict(tls[2])
    security = Security(
        tls_ca_file=client["--tls-ca-file"], tls_client_cert=client["--tls-cert"], tls_client_key=client["--tls-key"]
    )
    with Cluster(tmp_path, site, tuple(word for pair in tls[0] for word in pair), security) as running:
        inputs = write_inputs(tmp_path, {f"r{i}": "ok" for i in range(20)} | {"bad": "raise"})
        options = [word.replace("tls://10.0.0.1:8786", running.address) for word in korvane[4:]]
        code, summary, err = finish(batch(site, "camp", str(inputs), *options, "--connect-timeout", "60"))
    assert running.address.startswith("tls://127.0.0.1:") and korvane[:4] == ["korvane", "batch", "stack", "runs.jsonl"]
    assert code == 1 and err == "" and summary.startswith("21 runs: 20 completed, 1 error\n"), err
    assert words(tmp_path / "out") == {f"r{i}": "completed" for i in range(20)} | {"bad": "ValueError"}


# Identity and resume: a finished campaign of three runs, a fault done to it,
# what the next batch says, and what the option that goes on deliberately does.

FULL_DISK = """
import resource, runpy, signal, sys
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv.pop(1)),) * 2)
runpy.run_module("korvane_tools", run_name="__main__")
"""


def _line(ctx, run_id, text):
    lines = ctx.results.read_text().splitlines()
    changed = [text(json.loads(line)) if json.loads(line)["id"] == run_id else line for line in lines]
    ctx.results.write_text("\n".join(changed) + "\n")


def _second_inputs(ctx):
    ctx.inputs = ctx.tmp / "other.jsonl"
    ctx.inputs.write_text("".join(json.dumps({"id": i, "artifact": f"{i}.txt"}) + "\n" for i in "abc"))


def _full_disk(ctx):
    more = [json.dumps({"id": f"d{i}", "artifact": "a.txt"}) + "\n" for i in range(40)]
    ctx.inputs.write_text(ctx.inputs.read_text() + "".join(more))
    # Room for a few lines more, and for the pool's shared memory (a page-sized file).
    size = ctx.results.stat().st_size
    limit = str(max(size + 4 * size // 3, 8192))
    argv = [sys.executable, "-c", FULL_DISK, limit, "batch", "camp", str(ctx.inputs), "--out", str(ctx.out)]
    return finish(subprocess.Popen(argv, env=environment(ctx.site), stdout=-1, stderr=-1, text=True))


def _stale_worker(ctx):
    ctx.inputs = write_inputs(ctx.tmp, sleepers(20, 0.2))
    proc = batch(ctx.site, "camp", str(ctx.inputs), "--out", str(ctx.out), "--jobs", "1")
    wait_for_lines(ctx.out, 3 + 2)
    edit_code(ctx.site)
    return finish(proc)


# (fault done to the campaign, exit status of the next batch, what it says, the options that
# go on with it (None: none does), the ids whose line is then replaced)
RESUME_FAULTS = [
    (_second_inputs, 2, "the inputs of 3 finished runs changed", "--rerun changed", "abc"),
    (lambda ctx: setattr(ctx, "machine", "other"), 2, 'machine "camp", not "other"', None, ""),
    (lambda ctx: (ctx.tmp / "b.txt").write_text("ok "), 2, 'values): "b"', "--rerun changed", "b"),
    (lambda ctx: edit_code(ctx.site), 2, "bundle code digest", "--accept-code", ""),
    (_stale_worker, 3, "changed on disk since the worker imported it: ", "--accept-code", ""),
    (lambda ctx: (ctx.out / "manifest.json").unlink(), 2, "no manifest.json", "--adopt", ""),
    (lambda ctx: [ctx.results.unlink(), os.mkfifo(ctx.results)], 2, "results.jsonl is a FIFO", None, ""),
    (lambda ctx: _line(ctx, "c", lambda _: "[" * 100000), 0, ": nested too deeply; set aside", None, "c"),
    (lambda ctx: _line(ctx, "c", lambda _: json.dumps({"id": "c", "error": {"type": "WorkerDied"}})), 0, "", None, "c"),
    (lambda ctx: _line(ctx, "c", lambda old: json.dumps({**old, "outcome": "timeout"})), 1, "", "--rerun timeout", "c"),
    (_full_disk, 3, "File too large; the line of ", "", ""),
]
NAMES = "second-inputs other-machine edited-artifact edited-code stale-worker no-manifest fifo nested worker-died timeout full-disk"


@pytest.mark.parametrize("fault", RESUME_FAULTS, ids=NAMES.split())
def test_a_resume_refuses_what_would_mix_results_and_goes_on_when_told(site, tmp_path, fault):
    do, status, said, remedy, replaced = fault
    BundleFolder(site).add("other", source=SOURCE)
    ctx = argparse.Namespace(site=site, tmp=tmp_path, out=tmp_path / "out", machine="camp")
    ctx.results = ctx.out / "results.jsonl"
    ctx.inputs = write_inputs(tmp_path, dict.fromkeys("abc", "ok"))
    assert camp(site, ctx.inputs, ctx.out)[0] == 0
    before = results(ctx.out)
    found = do(ctx)
    if not isinstance(found, tuple):  # the fault done, the next batch
        found = finish(batch(site, ctx.machine, str(ctx.inputs), "--out", str(ctx.out)))
    assert found[0] == status and said in found[2], found
    if remedy is not None:
        found = finish(batch(site, ctx.machine, str(ctx.inputs), "--out", str(ctx.out), *remedy.split()))
        assert found[0] == 0, found
    if "FIFO" in said:
        return  # left as it is, and not read here either
    after = results(ctx.out)  # one whole line per id
    assert after.keys() == {line["id"] for line in jsonl(ctx.inputs)} | before.keys()
    assert {i for i in before if after[i] != before[i]} == set(replaced)
    superseded = ctx.out / "results.superseded.jsonl"
    assert len(superseded.read_text().splitlines() if replaced else []) == len(replaced)
    manifest = json.loads((ctx.out / "manifest.json").read_text())
    digests = {identity["code_digest"] for identity in [manifest, *manifest["earlier"]]}
    assert {line["code_digest"] for line in after.values()} <= digests


def _done(run_id, word="completed", **more):
    return json.dumps({"id": run_id, "result": {"machine_execution": {"status": word}}, **more})


# Lines of a results file, the outcome word per id read back, the lines named as
# bad, and what a rewrite that re-runs "b" leaves.
A, TIMEOUT = _done("a"), _done("a", outcome="timeout")
RESULTS_FILES = [
    ([A, _done("b")], {"a": "completed", "b": "completed"}, [], [A]),
    ([_done("a", "failed"), "", A], {"a": "completed"}, [], [A]),  # the last line of an id counts
    (['{"id": "b"}', A], {"a": "completed"}, ["line 1: no member 'error'"], [A]),
    (["1", '{"id": 1}', _done("b", input_digest=7)], {}, ["line 1: not a JSON", "line 2: id", "line 3: a digest"], []),
    ([TIMEOUT, "\udcff"], {"a": "timeout"}, ["line 2: not UTF-8"], [TIMEOUT]),
]


@pytest.mark.parametrize("lines, finished, bad, kept", RESULTS_FILES)
def test_results_file_reads_each_line_and_a_rewrite_keeps_one_line_per_id(tmp_path, lines, finished, bad, kept):
    from korvane_tools.campaign import ResultsFile

    (tmp_path / "real.jsonl").write_bytes("".join(line + "\n" for line in lines).encode("utf-8", "surrogateescape"))
    (tmp_path / "results.jsonl").symlink_to("real.jsonl")
    with ResultsFile(tmp_path / "results.jsonl") as read:
        assert read.finished == finished
        assert all(map(str.startswith, read.bad_lines, bad, strict=True))
        read.rewrite(["b"])
        with pytest.raises(BlockingIOError):  # the new file is locked as the old one was
            ResultsFile(tmp_path / "results.jsonl")
    assert (tmp_path / "results.jsonl").is_symlink()
    assert (tmp_path / "real.jsonl").read_text().splitlines() == kept
    assert len((tmp_path / "results.superseded.jsonl").read_bytes().splitlines()) == len(lines) - len(kept)


def result(status: str, evidence: str = "complete", **machine: object) -> dict[str, object]:
    verdicts = {"machine_execution": {"status": status, **machine}, "evidence_fulfillment": {"status": evidence}}
    return VALID_RESULT | verdicts


# Lines as older versions wrote them (no outcome, no statuses), bad lines, and a line as written now.
LINES = [
    *({"id": f"ok{i}", "result": result("completed"), "seconds": 0.01 * (i + 1)} for i in range(10)),
    {"id": "p1", "error": {"type": "ProgramError", "message": "line 3: unknown instruction 'garbage'"}},
    {"id": "p2", "error": {"type": "ProgramError", "message": 'line 12: unknown instruction "nop"'}},
    {"id": "k1", "error": {"type": "KeyError", "message": "0xdeadbeef"}, "seconds": 7.5},
    {"id": "f1", "result": result("failed", reason="step limit 100 reached"), "seconds": 0.5},
    {"id": "f2", "result": result("failed", reason="step limit 2500 reached"), "seconds": 0.6},
    {"id": "e1", "result": result("completed", evidence="incomplete"), "seconds": 0.02},
    "{not json",
    "[1, 2]",
    "[" * 100000 + "]" * 100000,
    {"id": "t1", "error": {"type": "Timeout", "message": "ran over 30 s"}, "seconds": 30.0, "outcome": "timeout"},
]


def test_report_groups_what_went_wrong(tmp_path):
    def report(lines: list[object] | None, *options: str) -> subprocess.CompletedProcess[str]:
        if lines is not None:  # else the file left as it is
            text = "".join((line if isinstance(line, str) else json.dumps(line)) + "\n" for line in lines)
            (tmp_path / "results.jsonl").write_text(text)
        korvane = [sys.executable, "-m", "korvane_tools", "report", str(tmp_path), *options]
        return subprocess.run(korvane, capture_output=True, text=True, env=dict(os.environ, NO_COLOR="1"), timeout=60)

    (tmp_path / "attempts.jsonl").write_text('{"id": "ok3", "error": {"type": "WorkerDied"}}\n' * 2)
    run = report(LINES, "--json")
    found = json.loads(run.stdout)
    assert run.returncode == 1 and found["outcomes"] == {"completed": 11, "error": 3, "failed": 2, "timeout": 1}
    assert [(c["count"], c["outcome"], c["type"], c["pattern"], c["ids"]) for c in found["causes"]] == [
        (2, "error", "ProgramError", "line <n>: unknown instruction <text>", ["p1", "p2"]),
        (2, "failed", "", "reason: step limit <n> reached", ["f1", "f2"]),
        (1, "error", "KeyError", "<hex>", ["k1"]),
        (1, "evidence incomplete", "", "", ["e1"]),
        (1, "timeout", "Timeout", "ran over <n> s", ["t1"]),
    ]
    assert (found["bad_lines"], found["timeouts"]) == ({"count": 3, "lines": [17, 18, 19]}, {"count": 1, "ids": ["t1"]})
    assert found["retries"] == {"attempts": 2, "runs": 1, "causes": {"WorkerDied": 2}}
    assert [run["id"] for run in found["slowest"]][:3] == ["t1", "k1", "f2"]
    assert found["seconds"]["max"] == 30.0 and 0.05 < found["seconds"]["p50"] < 0.08

    run = report(LINES)
    assert run.returncode == 1 and "\x1b" not in run.stdout
    assert run.stdout.splitlines()[:3] == [
        f"{tmp_path / 'results.jsonl'}: 17 runs: 11 completed, 3 error, 2 failed, 1 timeout",
        "3 lines not a results line (line 17, 18, 19), not counted",
        "what went wrong: 7 in 5 causes",
    ]
    assert "retried: 2 attempts ended by the infrastructure, over 1 run (WorkerDied 2)" in run.stdout
    # Every run completed: 0; evidence incomplete: 4, as korvane run says; a FIFO is refused.
    assert [report(LINES[:10]).returncode, report(LINES[:10] + [LINES[15]]).returncode] == [0, 4]
    os.unlink(tmp_path / "results.jsonl")
    os.mkfifo(tmp_path / "results.jsonl")
    run = report(None)
    assert run.returncode == 2 and "not a regular file" in run.stderr
