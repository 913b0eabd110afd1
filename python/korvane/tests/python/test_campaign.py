"""Campaigns: `korvane batch` over a local process pool and over a real Dask
cluster on 127.0.0.1, with a bundle whose artifact says what the run does."""

from __future__ import annotations

import argparse
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
from typing import Any

import pytest

from bundle_kit import BundleFolder

# The artifact is the run's command: "ok", "fail" (the machine fails),
# "raise" (execute raises), "die" (the worker process ends), "sleep S",
# "evidence" (left incomplete), "unrecorded" (the recorder fails), or one of
# RAISES. With CAMP_CHDIR set, the bundle changes folder when imported.
SOURCE = """
import json, os, time

class Quit(BaseException):
    pass

class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")

RAISES = {"interrupt": KeyboardInterrupt, "exit": SystemExit, "quit": Quit, "unprintable": Unprintable}
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
    if command == "raise":
        raise ValueError("asked to raise")
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
    env = dict(
        os.environ,
        PYTHONPATH=os.pathsep.join(filter(None, [str(site), os.environ.get("PYTHONPATH")])),
        CAMP_PROVIDER_LOG=str(site.parent / "provider.log"),
    )
    env.pop("NO_COLOR", None)
    return env


def batch(
    site: pathlib.Path, *args: str, stderr: int = subprocess.PIPE, env: dict[str, str] | None = None, **popen: Any
) -> subprocess.Popen[str]:
    return subprocess.Popen(
        [sys.executable, "-m", "korvane_tools", "batch", *args],
        env=environment(site) | (env or {}),
        stdout=subprocess.PIPE,
        stderr=stderr,
        text=True,
        **popen,
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


# Campaigns of one kind of fault each: the runs, options, exit status and
# the runs' words (machine status, else error type) besides "completed".
OUTCOMES = [
    pytest.param(
        {"ok": "ok", "interrupt": "interrupt", "exit": "exit", "quit": "quit", "unprintable": "unprintable"},
        [],
        1,
        {"interrupt": "KeyboardInterrupt", "exit": "SystemExit", "quit": "Quit", "unprintable": "Unprintable"},
        id="a run's own BaseException",
    ),
    pytest.param({"ok": "ok", "evidence": "evidence"}, [], 4, {}, id="evidence incomplete"),
    pytest.param({"evidence": "evidence", "unrecorded": "unrecorded"}, ["--record"], 5, {}, id="recording failed"),
    pytest.param(
        {"die": "die"} | {f"s{i}": "sleep 0.3" for i in range(5)}, ["--jobs", "2"], 1, {"die": "WorkerDied"}, id="die"
    ),
    pytest.param(
        {"hang": "sleep 3600"} | {f"s{i}": "sleep 0.3" for i in range(5)},
        ["--jobs", "2", "--timeout", "30"],
        1,
        {"hang": "Timeout"},
        id="a hung run",
    ),
]


@pytest.mark.parametrize(("commands", "options", "status", "words"), OUTCOMES)
def test_each_run_has_its_own_outcome_and_a_rerun_repeats_none(site, tmp_path, commands, options, status, words):
    inputs = write_inputs(tmp_path, commands)
    out = tmp_path / "out"
    for earlier in (0, len(commands)):
        code, summary, err = finish(batch(site, "camp", str(inputs), "--out", str(out), "--json", *options))
        assert (code, json.loads(summary)["finished_earlier"]) == (status, earlier), err
        lines = results(out)
        assert {run_id: word(line) for run_id, line in lines.items()} == dict.fromkeys(commands, "completed") | words
    report = json.loads(summary)
    assert (report["evidence_incomplete"] > 0, report["recording_failed"] > 0) == (status in (4, 5), status == 5)
    assert all(line["outcome"] == "timeout" for run_id, line in lines.items() if run_id == "hang")
    for line in lines.values():
        assert line["statuses"].keys() == {"machine", "evidence", "delivery", "recording", "publication"}
        assert (line["statuses"]["machine"] is None) == ("error" in line)
    if "unrecorded" in lines:
        assert lines["unrecorded"]["statuses"]["recording"] == "failed"
    tries = [json.loads(line) for line in (out / "attempts.jsonl").read_text().splitlines()]
    if "unprintable" in lines:
        assert lines["unprintable"]["error"]["message"] == "Unprintable()"
    if "die" in lines:  # tried alone twice more, then blamed; its neighbours never
        assert [(t["id"], t["attempt"]) for t in tries if t["reason"] == "worker_died"] == [("die", 1), ("die", 2)]
        assert "no other run going" in lines["die"]["error"]["message"]
    if "hang" in lines:
        assert lines["hang"]["seconds"] >= 30 and {t["reason"] for t in tries} <= {"time_limit_neighbour"}


def leftovers(site: pathlib.Path) -> list[int]:
    """The processes still running with this test's environment: the
    command, its forkserver, workers and resource tracker."""
    marker = f"CAMP_PROVIDER_LOG={site.parent / 'provider.log'}".encode()
    deadline = time.monotonic() + 60
    while True:
        found = []
        for entry in pathlib.Path("/proc").iterdir():
            try:
                if entry.name.isdigit() and marker in (entry / "environ").read_bytes().split(b"\0"):
                    found.append(int(entry.name))
            except OSError:
                continue
        if not found or time.monotonic() > deadline:
            return found
        time.sleep(0.1)


# A stop by a signal to the command's whole process group: the signal, the
# runs' command, --grace, and whether runs were cut.
STOPS = [
    pytest.param(signal.SIGTERM, "sleep 1", "60", False, id="SIGTERM"),
    pytest.param(signal.SIGINT, "sleep 1", "60", False, id="SIGINT"),
    pytest.param(signal.SIGTERM, "sleep 3600", "0.5", True, id="SIGTERM, hung runs cut"),
]


@pytest.mark.parametrize(("sig", "command", "grace", "cut"), STOPS)
def test_a_signal_to_the_process_group_stops_as_ctrl_c_does(site, tmp_path, sig, command, grace, cut):
    commands = {"ok": "ok"} | {f"s{i}": command for i in range(6)}
    inputs = write_inputs(tmp_path, commands)
    out = tmp_path / "out"
    args = ("camp", str(inputs), "--out", str(out), "--jobs", "2", "--grace", grace, "--json")
    proc = batch(site, *args, start_new_session=True)
    wait_for_lines(out, 1)
    os.killpg(proc.pid, sig)
    code, summary, err = finish(proc)
    going = json.loads(summary)["still_going"]
    assert code == 130 and "stopping" in err and not leftovers(site)
    assert all(word(line) == "completed" for line in results(out).values())
    tries = [json.loads(line) for line in (out / "attempts.jsonl").read_text().splitlines()]
    if cut:
        assert going and set(going) <= commands.keys() - results(out).keys() and ", ".join(going) in err
        assert {t["id"] for t in tries} == set(going) and {t["reason"] for t in tries} == {"stopped"}
    else:
        assert (going, tries) == ([], []) and len(results(out)) >= 2
        assert finish(batch(site, *args))[0] == 0 and results(out).keys() == commands.keys()


def test_kill_9_ends_the_workers_and_recordings_stay_where_they_were_asked(site, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    inputs = write_inputs(tmp_path, {"ok": "ok", "s0": "sleep 5", "s1": "sleep 5"})
    env = {"CAMP_CHDIR": str(elsewhere)}  # the bundle changes folder when imported
    proc = batch(site, "camp", str(inputs), "--out", "out", "--jobs", "2", "--record", cwd=tmp_path, env=env)
    wait_for_lines(tmp_path / "out", 1)
    proc.kill()
    proc.communicate()
    assert not leftovers(site)  # no process left, so no recording written after the kill
    assert [path.name for path in (tmp_path / "out" / "recordings").iterdir()] == ["ok.jsonl"]
    assert list(elsewhere.iterdir()) == []


@pytest.mark.parametrize(
    "option",
    [("--grace", "nan"), ("--grace", "inf"), ("--timeout", "0"), ("--timeout", "-inf"), ("--retries", "-1")],
)
def test_numeric_options_are_finite_and_in_range(site, tmp_path, option):
    inputs = write_inputs(tmp_path, {"a": "ok"})
    code, _, err = finish(batch(site, "camp", str(inputs), "--out", str(tmp_path / "out"), *option))
    assert code == 2 and option[0] in err and not (tmp_path / "out").exists()


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

    def start(self, role: str, *args: str, env: dict[str, str] | None = None) -> subprocess.Popen[bytes]:
        proc = subprocess.Popen(
            [sys.executable, "-m", "dask", role, *args, "--scheduler-file", str(self.file)],
            env=env or self.env,
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


# Identity and resume: a finished campaign of three runs, a fault done to it,
# what the next batch says, and what the option that goes on deliberately does.

FULL_DISK = """
import resource, runpy, signal, sys
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv.pop(1)),) * 2)
runpy.run_module("korvane_tools", run_name="__main__")
"""


def _line(ctx, run_id, text):
    lines = (ctx.out / "results.jsonl").read_text().splitlines()
    changed = [text(json.loads(line)) if json.loads(line)["id"] == run_id else line for line in lines]
    (ctx.out / "results.jsonl").write_text("\n".join(changed) + "\n")


def _edit_code(ctx):
    camp = next(path for path in ctx.site.glob("*.py") if '"machine_id": "camp"' in path.read_text())
    with open(camp, "a") as code:
        code.write("# edited, its version kept\n")


def _fifo(ctx):
    (ctx.out / "results.jsonl").unlink()
    os.mkfifo(ctx.out / "results.jsonl")


def _second_inputs(ctx):
    ctx.inputs = ctx.tmp / "other.jsonl"
    ctx.inputs.write_text("".join(json.dumps({"id": i, "artifact": f"{i}.txt"}) + "\n" for i in "abc"))


def _full_disk(ctx):
    more = [json.dumps({"id": f"d{i}", "artifact": "a.txt"}) + "\n" for i in range(40)]
    ctx.inputs.write_text(ctx.inputs.read_text() + "".join(more))
    # Room for a few lines more, and for the pool's shared memory (a page-sized file).
    size = (ctx.out / "results.jsonl").stat().st_size
    limit = str(max(size + 4 * size // 3, 8192))
    argv = [sys.executable, "-c", FULL_DISK, limit, "batch", "camp", str(ctx.inputs), "--out", str(ctx.out)]
    return finish(subprocess.Popen(argv, env=environment(ctx.site), stdout=-1, stderr=-1, text=True))


def _stale_worker(ctx):
    ctx.inputs = write_inputs(ctx.tmp, {f"s{i}": "sleep 0.2" for i in range(20)})
    proc = batch(ctx.site, "camp", str(ctx.inputs), "--out", str(ctx.out), "--jobs", "1")
    wait_for_lines(ctx.out, 3 + 2)
    _edit_code(ctx)
    return finish(proc)


# (fault done to the campaign, exit status of the next batch, what it says, the options that
# go on with it (None: none does), the ids whose line is then replaced)
RESUME_FAULTS = [
    (_second_inputs, 2, "the inputs of 3 finished runs changed", "--rerun changed", "abc"),
    (lambda ctx: setattr(ctx, "machine", "other"), 2, 'machine "camp", not "other"', None, ""),
    (lambda ctx: (ctx.tmp / "b.txt").write_text("ok "), 2, 'values): "b"', "--rerun changed", "b"),
    (_edit_code, 2, "bundle code digest", "--accept-code", ""),
    (_stale_worker, 3, "changed on disk since the worker imported it: ", "--accept-code", ""),
    (lambda ctx: (ctx.out / "manifest.json").unlink(), 2, "no manifest.json", "--adopt", ""),
    (_fifo, 2, "results.jsonl is a FIFO", None, ""),
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
    ctx.inputs = write_inputs(tmp_path, dict.fromkeys("abc", "ok"))
    assert finish(batch(site, "camp", str(ctx.inputs), "--out", str(ctx.out)))[0] == 0
    before = results(ctx.out)
    found = do(ctx)
    if not isinstance(found, tuple):  # the fault done, the next batch
        found = finish(batch(site, ctx.machine, str(ctx.inputs), "--out", str(ctx.out)))
    assert found[0] == status and said in found[2], found
    if remedy is not None:
        found = finish(batch(site, ctx.machine, str(ctx.inputs), "--out", str(ctx.out), *remedy.split()))
        assert found[0] == 0, found
    if do is _fifo:
        return  # left as it is, and not read here either
    after = results(ctx.out)  # one whole line per id
    assert after.keys() == {json.loads(line)["id"] for line in ctx.inputs.read_text().splitlines()} | before.keys()
    assert {i for i in before if after[i] != before[i]} == set(replaced)
    superseded = ctx.out / "results.superseded.jsonl"
    assert len(superseded.read_text().splitlines() if replaced else []) == len(replaced)
    manifest = json.loads((ctx.out / "manifest.json").read_text())
    assert {line["code_digest"] for line in after.values()} <= {
        identity["code_digest"] for identity in [manifest, *manifest["earlier"]]
    }


def _done(run_id, word="completed", **more):
    return json.dumps({"id": run_id, "result": {"machine_execution": {"status": word}}, **more})


# Lines of a results file, the outcome word per id read back, the lines named as bad,
# and what a rewrite that re-runs "b" leaves.
RESULTS_FILES = [
    ([_done("a"), _done("b")], {"a": "completed", "b": "completed"}, [], [_done("a")]),
    ([_done("a", "failed"), "", _done("a")], {"a": "completed"}, [], [_done("a")]),  # the last line of an id counts
    (['{"id": "b"}', _done("a")], {"a": "completed"}, ["line 1: no member 'error'"], [_done("a")]),
    (
        ['"a"', '{"id": 1}', _done("b", input_digest=7)],
        {},
        ["line 1: not a JSON", "line 2: id", "line 3: a digest"],
        [],
    ),
    (
        [_done("a", outcome="timeout"), "\udcff"],
        {"a": "timeout"},
        ["line 2: not UTF-8"],
        [_done("a", outcome="timeout")],
    ),
]


@pytest.mark.parametrize("lines, finished, bad, kept", RESULTS_FILES)
def test_results_file_reads_each_line_and_a_rewrite_keeps_one_line_per_id(tmp_path, lines, finished, bad, kept):
    from korvane_tools.campaign import ResultsFile

    (tmp_path / "real.jsonl").write_bytes("".join(line + "\n" for line in lines).encode("utf-8", "surrogateescape"))
    (tmp_path / "results.jsonl").symlink_to("real.jsonl")
    with ResultsFile(tmp_path / "results.jsonl") as results:
        assert results.finished == finished
        assert all(map(str.startswith, results.bad_lines, bad, strict=True))
        results.rewrite(["b"])
        with pytest.raises(BlockingIOError):  # the new file is locked as the old one was
            ResultsFile(tmp_path / "results.jsonl")
    assert (tmp_path / "results.jsonl").is_symlink()
    assert (tmp_path / "real.jsonl").read_text().splitlines() == kept
    assert len((tmp_path / "results.superseded.jsonl").read_bytes().splitlines()) == len(lines) - len(kept)
