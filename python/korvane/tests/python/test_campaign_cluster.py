"""Campaigns on a Dask cluster that fail loudly (an address that is no
scheduler, a scheduler lost mid-campaign, TLS), and `korvane report`."""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import threading

import pytest
from test_campaign import (  # noqa: F401
    Cluster,
    _edit_code,
    _need_distributed,
    batch,
    cluster,
    environment,
    finish,
    results,
    site,
    wait_for_lines,
    word,
    write_inputs,
)

DOCS = pathlib.Path(__file__).resolve().parents[4] / "docs" / "campaigns.md"


def listening(reply: bytes | None) -> socket.socket:
    """A server on 127.0.0.1 that never answers (None), or answers `reply` and hangs up."""
    server = socket.create_server(("127.0.0.1", 0))

    def answer() -> None:
        while True:
            try:
                peer, _ = server.accept()
            except OSError:
                return
            with peer:
                peer.sendall(reply or b"")

    if reply is not None:
        threading.Thread(target=answer, daemon=True).start()
    return server


# What stands at the address, the options, the exit status and what the
# command says. Only the silent server makes it wait: 2 s, the wait under test.
ADDRESSES = [
    ("closed", "tcp://{}", [], 3, "cannot reach the scheduler tcp://{}: Connection refused"),
    ("silent", "tcp://{}", ["--connect-timeout", "2"], 3, "tcp://{} accepts connections but did not answer"),
    ("http", "tcp://{}", [], 3, "tcp://{} is not a Dask scheduler"),
    ("silent", "tls://{}", [], 3, "tls://{} is a TLS address: give --tls-ca-file"),
    ("silent", "tcp://{}", ["--tls-ca-file", "ca.pem"], 2, "the --tls-* options need --scheduler tls://"),
    ("silent", "tls://{}", ["--tls-ca-file", "gone.pem"], 2, "--tls-ca-file gone.pem: No such file"),
    ("silent", "tcp://{}", ["--connect-timeout", "nan"], 2, "--connect-timeout: must be a finite number"),
    ("silent", "tcp://{}", ["--connect-timeout", "0"], 2, "--connect-timeout: must be above 0"),
]


@pytest.mark.parametrize(("server", "address", "options", "status", "said"), ADDRESSES)
def test_an_address_that_is_no_scheduler_is_named(site, tmp_path, monkeypatch, server, address, options, status, said):
    _need_distributed()
    monkeypatch.chdir(tmp_path)  # the options name files here
    pathlib.Path("ca.pem").write_text("")
    held = listening(b"HTTP/1.0 400 Bad Request\r\n\r\n" if server == "http" else None)
    where = "127.0.0.1:%d" % held.getsockname()[1]
    if server == "closed":
        held.close()
    inputs = write_inputs(tmp_path, {"a": "ok"})
    code, _, err = finish(
        batch(site, "camp", str(inputs), "--out", "out", "--scheduler", address.format(where), *options)
    )
    held.close()
    assert code == status, err
    assert said.format(where) in err and (status == 2 or err.count("\n") == 1), err  # no word of Dask's own
    assert not (tmp_path / "out" / "results.jsonl").exists() or results(tmp_path / "out") == {}


@pytest.mark.parametrize("loss", ["killed", "stopped"])
def test_a_scheduler_lost_mid_campaign_ends_it_and_a_rerun_finishes_it(cluster, site, tmp_path, monkeypatch, loss):
    import distributed

    with distributed.Client(cluster.address, timeout="60s") as client:
        worker = next(iter(client.scheduler_info()["workers"]))
    inputs = write_inputs(tmp_path, {f"s{i}": "sleep 0.5" for i in range(16)})
    out = tmp_path / "out"
    code, _, err = finish(batch(site, "camp", str(inputs), "--out", str(out), "--scheduler", worker))
    assert code == 3 and f"{worker} is a Dask Worker, not a scheduler" in err

    # A stopped scheduler keeps its connections open: only its silence tells (12 s here, the least Dask takes; the case runs alone).
    monkeypatch.setenv("DASK_DISTRIBUTED__COMM__TIMEOUTS__TCP", "12s" if loss == "stopped" else "30s")
    proc = batch(site, "camp", str(inputs), "--out", str(out), *cluster.options, "--json")
    wait_for_lines(out, 2)
    cluster.processes[0].send_signal(signal.SIGKILL if loss == "killed" else signal.SIGSTOP)  # the scheduler
    code, summary, err = finish(proc)
    monkeypatch.delenv("DASK_DISTRIBUTED__COMM__TIMEOUTS__TCP")
    said = "the connection to it broke" if loss == "killed" else "no answer for 12 s"
    assert code == 3 and f"lost the scheduler {cluster.address}: {said}" in json.loads(summary)["failure"], err
    assert err.count("\n") == 1 and "lost the scheduler" in err  # and no line of Dask's own
    first = results(out)  # every line whole
    assert 2 <= len(first) < 16 and {word(line) for line in first.values()} == {"completed"}
    (tmp_path / "again").mkdir()
    other = Cluster(tmp_path / "again", site)
    try:
        code, summary, err = finish(batch(site, "camp", str(inputs), "--out", str(out), *other.options))
    finally:
        other.close()
    assert code == 0 and len(results(out)) == 16, err
    assert summary.startswith(f"16 runs: 16 completed ({len(first)} finished earlier")


def test_a_run_that_ends_its_workers_is_blamed_alone_and_its_neighbours_complete(site, tmp_path, monkeypatch):
    _need_distributed()
    monkeypatch.setenv("DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES", "0")  # Dask gives up at the first death
    running = Cluster(tmp_path, site)
    for worker in running.workers:  # for workers with a nanny, which brings a dead one back
        worker.kill()
        running.start("worker", "--host", "127.0.0.1", "--nthreads", "1")
    commands = {f"r{i}": "sleep 0.2" for i in range(12)} | {"r1": "die"}  # in the first chunk, with r0, r2, r3
    inputs, options = write_inputs(tmp_path, commands), ["--chunk", "4", "--retries", "1", *running.options]
    try:
        code, _, err = finish(batch(site, "camp", str(inputs), "--out", str(tmp_path / "out"), *options))
    finally:
        running.close()
    words = {i: word(line) for i, line in results(tmp_path / "out").items()}
    assert code == 1 and words == {**dict.fromkeys(commands, "completed"), "r1": "WorkerDied"}, err
    tries = [json.loads(line) for line in (tmp_path / "out" / "attempts.jsonl").read_text().splitlines()]
    assert {"r0", "r2", "r3"} <= {line["id"] for line in tries} and all(line["retried"] for line in tries)
    # Given up on with its chunk, then alone, once more than --retries allows, before it is blamed.
    assert ["not the only run out" in line["message"] for line in tries if line["id"] == "r1"] == [True, False]


LATE = [
    (lambda site: _edit_code(argparse.Namespace(site=site)), 'other code for machine "camp"'),
    (
        lambda site: (
            os.makedirs(site / "korvane-9.dist-info")
            or (site / "korvane-9.dist-info/METADATA").write_text("Version: 9\n")
        ),
        "has korvane 9,",
    ),
]


@pytest.mark.parametrize(("differ", "said"), LATE)
def test_a_worker_that_joins_late_and_differs_runs_nothing_and_is_named(cluster, site, tmp_path, differ, said):
    import distributed

    differ(shutil.copytree(site, tmp_path / "late"))
    inputs, out = write_inputs(tmp_path, {f"s{i}": "sleep 0.2" for i in range(40)}), tmp_path / "out"
    proc = batch(site, "camp", str(inputs), "--out", str(out), *cluster.options, "--json")
    wait_for_lines(out, 2)
    late = cluster.start("worker", "--host", "127.0.0.1", "--no-nanny", env=environment(tmp_path / "late"))
    with distributed.Client(cluster.address, timeout="60s") as client:
        client.wait_for_workers(3, timeout=60)
    for worker in cluster.workers:  # the late one is left with the runs
        worker.kill()
    code, summary, err = finish(proc)
    assert code == 3 and f":{late.pid} " in err and said in err and said in json.loads(summary)["failure"], err
    assert not any(str(line["worker"]).endswith(f":{late.pid}") for line in results(out).values())


def test_a_campaign_over_tls_as_the_docs_say(site, tmp_path, monkeypatch):
    _need_distributed()
    from distributed.security import Security

    # The recipe's commands, by program, from the docs' block.
    text = DOCS.read_text()
    block = text[text.index("## On a Dask cluster") :].split("```sh\n", 1)[1].split("```", 1)[0]
    commands: dict[str, list[list[str]]] = {}
    for line in block.splitlines():
        if line.strip() and not line.startswith("#"):
            commands.setdefault(line.split()[0], []).append(shlex.split(line))
    monkeypatch.chdir(tmp_path)  # the recipe's files are made and named here
    for openssl in commands["openssl"]:
        subprocess.run(openssl, check=True, capture_output=True)
    scheduler, worker = sorted(commands["dask"], key=lambda words: words[1])
    [korvane] = commands["korvane"]
    tls = [
        [pair for pair in zip(words, words[1:]) if pair[0].startswith("--tls-")]
        for words in (scheduler, worker, korvane)
    ]
    assert scheduler[1:4] == ["scheduler", "--host", "tls://10.0.0.1"] and tls[0] == tls[1] and len(tls[0]) == 3
    client = dict(tls[2])
    security = Security(
        tls_ca_file=client["--tls-ca-file"], tls_client_cert=client["--tls-cert"], tls_client_key=client["--tls-key"]
    )
    running = Cluster(tmp_path, site, tuple(word for pair in tls[0] for word in pair), security)
    try:
        inputs = write_inputs(tmp_path, {f"r{i}": "ok" for i in range(20)} | {"bad": "raise"})
        options = [word.replace("tls://10.0.0.1:8786", running.address) for word in korvane[4:]]
        code, summary, err = finish(batch(site, "camp", str(inputs), *options, "--connect-timeout", "60"))
        # Without a client certificate the scheduler lets nothing through.
        refused, _, said = finish(batch(site, "camp", str(inputs), "--out", "none", "--scheduler", running.address))
    finally:
        running.close()
    assert running.address.startswith("tls://127.0.0.1:") and korvane[:4] == ["korvane", "batch", "stack", "runs.jsonl"]
    assert code == 1 and err == "" and summary.startswith("21 runs: 20 completed, 1 error\n"), err
    assert {run_id: word(line) for run_id, line in results(tmp_path / "out").items()} == {
        **{f"r{i}": "completed" for i in range(20)},
        "bad": "ValueError",
    }
    assert refused == 3 and "is a TLS address" in said


def result(status: str, evidence: str = "complete", **machine: object) -> dict[str, object]:
    return {
        "machine_execution": {"status": status, **machine},
        "evidence_fulfillment": {"status": evidence},
        **{name: {"status": "not_requested"} for name in ("python_sink_delivery", "recorder_finalization")},
        "publication": {"status": "not_published"},
        "published_run": None,
    }


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
    def report(lines: list[object], *options: str) -> subprocess.CompletedProcess[str]:
        text = "".join((line if isinstance(line, str) else json.dumps(line)) + "\n" for line in lines)
        (tmp_path / "results.jsonl").write_text(text)
        korvane = [sys.executable, "-m", "korvane_tools", "report", str(tmp_path), *options]
        return subprocess.run(korvane, capture_output=True, text=True, env=dict(os.environ, NO_COLOR="1"), timeout=60)

    (tmp_path / "attempts.jsonl").write_text('{"id": "ok3", "error": {"type": "WorkerDied"}}\n' * 2)
    run = report(LINES, "--json")
    found = json.loads(run.stdout)
    assert run.returncode == 1 and found["outcomes"] == {"completed": 11, "error": 3, "failed": 2, "timeout": 1}
    assert [
        (cause["count"], cause["outcome"], cause["type"], cause["pattern"], cause["ids"]) for cause in found["causes"]
    ] == [
        (2, "error", "ProgramError", "line <n>: unknown instruction <text>", ["p1", "p2"]),
        (2, "failed", "", "reason: step limit <n> reached", ["f1", "f2"]),
        (1, "error", "KeyError", "<hex>", ["k1"]),
        (1, "evidence incomplete", "", "", ["e1"]),
        (1, "timeout", "Timeout", "ran over <n> s", ["t1"]),
    ]
    assert found["bad_lines"] == {"count": 3, "lines": [17, 18, 19]} and found["timeouts"] == {
        "count": 1,
        "ids": ["t1"],
    }
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
    run = subprocess.run(
        [sys.executable, "-m", "korvane_tools", "report", str(tmp_path)], capture_output=True, text=True, timeout=60
    )
    assert run.returncode == 2 and "not a regular file" in run.stderr


def test_time_limits_on_dask_kill_a_hung_run_in_its_own_child(cluster, site, tmp_path):
    commands = {"hang": "sleep 3600", "die": "die"} | {f"s{i}": "sleep 0.3" for i in range(3)}
    out = tmp_path / "out"
    options = ("--out", str(out), "--timeout", "30", "--chunk", "2", *cluster.options)
    code, _, err = finish(batch(site, "camp", str(write_inputs(tmp_path, commands)), *options))
    lines = results(out)
    words = dict.fromkeys(commands, "completed") | {"hang": "Timeout", "die": "WorkerDied"}
    assert code == 1 and {run_id: word(line) for run_id, line in lines.items()} == words, err
    assert lines["hang"]["outcome"] == "timeout" and lines["hang"]["seconds"] >= 30
    assert lines["s0"]["worker"].rsplit(":", 1)[1] in {str(worker.pid) for worker in cluster.workers}
    # The hung run's child was killed, not left running.
    assert not [path for path in pathlib.Path("/proc").glob("[0-9]*/cmdline") if b"campaign.child" in _read(path)]


def _read(path: pathlib.Path) -> bytes:
    try:
        return path.read_bytes()
    except OSError:
        return b""
