"""Campaigns on a Dask cluster that fail loudly (an address that is no
scheduler, a scheduler lost mid-campaign, TLS), and `korvane report`."""

from __future__ import annotations

import json
import os
import pathlib
import shlex
import socket
import subprocess
import sys
import threading

import pytest
from test_campaign import (  # noqa: F401
    Cluster,
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


def listening(reply: bytes | None) -> tuple[socket.socket, str]:
    """A server on 127.0.0.1 that never answers (None) or answers `reply`
    and hangs up; its address."""
    server = socket.create_server(("127.0.0.1", 0))
    if reply is not None:

        def answer() -> None:
            while True:
                try:
                    peer, _ = server.accept()
                except OSError:
                    return
                with peer:
                    peer.sendall(reply)

        threading.Thread(target=answer, daemon=True).start()
    return server, f"127.0.0.1:{server.getsockname()[1]}"


def free_port() -> int:
    with socket.create_server(("127.0.0.1", 0)) as probe:
        return int(probe.getsockname()[1])


# What stands at the address, the options, the exit status and what the
# command says. Every case but the silent server answers at once; that one
# is given 2 s, the wait under test.
ADDRESSES = [
    ("closed", "tcp://{}", [], 3, "cannot reach the scheduler tcp://{}: Connection refused"),
    ("silent", "tcp://{}", ["--connect-timeout", "2"], 3, "tcp://{} accepts connections but did not answer"),
    ("http", "tcp://{}", [], 3, "tcp://{} is not a Dask scheduler"),
    ("silent", "tls://{}", [], 3, "tls://{} is a TLS address: give --tls-ca-file"),
    ("silent", "tcp://{}", ["--tls-ca-file", "ca.pem"], 2, "the --tls-* options need --scheduler tls://"),
    ("silent", "tls://{}", ["--tls-ca-file", "gone.pem"], 2, "--tls-ca-file gone.pem: No such file"),
    ("silent", "tcp://{}", ["--connect-timeout", "nan"], 2, "--connect-timeout: must be a finite number"),
    ("silent", "tcp://{}", ["--connect-timeout", "0"], 2, "--connect-timeout: must be a finite number"),
]


@pytest.mark.parametrize(("server", "address", "options", "status", "said"), ADDRESSES)
def test_an_address_that_is_no_scheduler_is_named_at_once(site, tmp_path, server, address, options, status, said):
    _need_distributed()
    (tmp_path / "ca.pem").write_text("")
    if server == "closed":
        held, where = None, f"127.0.0.1:{free_port()}"
    else:
        held, where = listening(b"HTTP/1.0 400 Bad Request\r\n\r\n" if server == "http" else None)
    inputs = write_inputs(tmp_path, {"a": "ok"})
    proc = subprocess.Popen(
        [sys.executable, "-m", "korvane_tools", "batch", "camp", str(inputs), "--out", str(tmp_path / "out")]
        + ["--scheduler", address.format(where), *options],
        env=environment(site),
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    code, _, err = finish(proc)
    if held is not None:
        held.close()
    assert code == status, err
    assert said.format(where) in err and (status == 2 or err.count("\n") == 1), err  # Dask says nothing of its own
    assert not (tmp_path / "out" / "results.jsonl").exists() or results(tmp_path / "out") == {}


def test_a_scheduler_lost_mid_campaign_ends_it_and_a_rerun_finishes_it(cluster, site, tmp_path):
    import distributed

    with distributed.Client(cluster.address, timeout="60s") as client:
        worker = next(iter(client.scheduler_info()["workers"]))
    inputs = write_inputs(tmp_path, {f"s{i}": "sleep 0.5" for i in range(16)})
    out = tmp_path / "out"
    code, _, err = finish(batch(site, "camp", str(inputs), "--out", str(out), "--scheduler", worker))
    assert code == 3 and f"{worker} is a Dask Worker, not a scheduler" in err

    proc = batch(
        site,
        "camp",
        str(inputs),
        "--out",
        str(out),
        "--scheduler",
        cluster.address,
        "--connect-timeout",
        "60",
        "--json",
    )
    wait_for_lines(out, 2)
    cluster.processes[0].kill()  # the scheduler
    code, summary, err = finish(proc)
    assert code == 3, err
    assert f"lost the scheduler {cluster.address}" in json.loads(summary)["failure"]
    assert err.count("\n") == 1 and "lost the scheduler" in err  # and no line of Dask's own
    first = results(out)  # every line whole
    assert 2 <= len(first) < 16 and {word(line) for line in first.values()} == {"completed"}

    again = tmp_path / "again"
    again.mkdir()
    other = Cluster(again, site)
    try:
        code, summary, err = finish(
            batch(site, "camp", str(inputs), "--out", str(out), "--scheduler", other.address, "--connect-timeout", "60")
        )
    finally:
        other.close()
    assert code == 0, err
    assert len(results(out)) == 16 and summary.startswith(f"16 runs: 16 completed ({len(first)} finished earlier")


def recipe() -> dict[str, list[list[str]]]:
    """The commands of the TLS recipe in docs/campaigns.md, by program."""
    text = DOCS.read_text()
    block = text[text.index("## On a Dask cluster") :].split("```sh\n", 1)[1].split("```", 1)[0]
    commands: dict[str, list[list[str]]] = {}
    for line in block.splitlines():
        if line.strip() and not line.startswith("#"):
            words = shlex.split(line)
            commands.setdefault(words[0], []).append(words)
    return commands


def test_a_campaign_over_tls_as_the_docs_say(site, tmp_path):
    _need_distributed()
    commands = recipe()
    for openssl in commands["openssl"]:
        subprocess.run(openssl, cwd=tmp_path, check=True, capture_output=True)
    [scheduler], [worker] = (
        (words for words in commands["dask"] if words[1] == "scheduler"),
        (words for words in commands["dask"] if words[1] == "worker"),
    )
    [korvane] = commands["korvane"]

    def options(words: list[str]) -> tuple[str, ...]:
        """The --tls-* options, with the recipe's files in this test's folder."""
        kept = []
        for flag, value in zip(words, words[1:]):
            if flag.startswith("--tls-"):
                kept += [flag, str(tmp_path / value)]
        return tuple(kept)

    from distributed.security import Security

    host = scheduler[scheduler.index("--host") + 1].replace("10.0.0.1", "127.0.0.1")
    client = dict(zip(korvane, korvane[1:]))
    tls = Cluster(
        tmp_path,
        site,
        scheduler=("--host", host, *options(scheduler)),
        worker=options(worker),
        security=Security(
            tls_ca_file=str(tmp_path / client["--tls-ca-file"]),
            tls_client_cert=str(tmp_path / client["--tls-cert"]),
            tls_client_key=str(tmp_path / client["--tls-key"]),
            require_encryption=True,
        ),
    )
    try:
        assert tls.address.startswith("tls://127.0.0.1:")
        inputs = write_inputs(tmp_path, {f"r{i}": "ok" for i in range(20)} | {"bad": "raise"})
        out = tmp_path / "out"
        code, summary, err = finish(
            batch(
                site,
                "camp",
                str(inputs),
                "--out",
                str(out),
                "--scheduler",
                korvane[korvane.index("--scheduler") + 1].replace("tls://10.0.0.1:8786", tls.address),
                "--chunk",
                client["--chunk"],
                "--connect-timeout",
                "60",
                *options(korvane),
            )
        )
        # Without a client certificate the scheduler lets nothing through.
        refused, _, said = finish(
            batch(site, "camp", str(inputs), "--out", str(tmp_path / "none"), "--scheduler", tls.address)
        )
    finally:
        tls.close()
    assert code == 1 and err == "", err
    assert {run_id: word(line) for run_id, line in results(out).items()} == {
        f"r{i}": "completed" for i in range(20)
    } | {"bad": "ValueError"}
    assert summary.startswith("21 runs: 20 completed, 1 error\n")
    assert refused == 3 and "is a TLS address" in said


def write_lines(path: pathlib.Path, lines: list[object]) -> None:
    path.write_text("".join((line if isinstance(line, str) else json.dumps(line)) + "\n" for line in lines))


def result(status: str, evidence: str = "complete", **machine: object) -> dict[str, object]:
    return {
        "machine_execution": {"status": status, **machine},
        "evidence_fulfillment": {"status": evidence},
        "python_sink_delivery": {"status": "not_requested"},
        "recorder_finalization": {"status": "not_requested"},
        "publication": {"status": "not_published"},
        "published_run": None,
    }


def test_report_groups_what_went_wrong(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    lines: list[object] = [
        # Lines as older versions wrote them: no outcome, no statuses.
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
        # Lines as campaigns write them now.
        {
            "id": "t1",
            "error": {"type": "Timeout", "message": "ran over 30 s"},
            "seconds": 30.0,
            "outcome": "timeout",
            "statuses": dict.fromkeys(("machine", "evidence", "delivery", "recording", "publication")),
        },
    ]
    write_lines(out / "results.jsonl", lines)
    write_lines(out / "attempts.jsonl", [{"id": "ok3", "error": {"type": "WorkerDied", "message": "ended"}}] * 2)
    korvane = [sys.executable, "-m", "korvane_tools", "report", str(out)]
    run = subprocess.run([*korvane, "--json"], capture_output=True, text=True, check=False)
    assert run.returncode == 1, run.stderr
    report = json.loads(run.stdout)
    assert report["runs"] == 17 and report["outcomes"] == {"completed": 11, "error": 3, "failed": 2, "timeout": 1}
    assert [
        (cause["count"], cause["outcome"], cause["type"], cause["pattern"], cause["ids"]) for cause in report["causes"]
    ] == [
        (2, "error", "ProgramError", "line <n>: unknown instruction <text>", ["p1", "p2"]),
        (2, "failed", "", "reason: step limit <n> reached", ["f1", "f2"]),
        (1, "error", "KeyError", "<hex>", ["k1"]),
        (1, "evidence incomplete", "", "", ["e1"]),
        (1, "timeout", "Timeout", "ran over <n> s", ["t1"]),
    ]
    assert report["bad_lines"] == {"count": 3, "lines": [17, 18, 19]}
    assert report["timeouts"] == {"count": 1, "ids": ["t1"]}
    assert report["retries"] == {"attempts": 2, "runs": 1, "causes": {"WorkerDied": 2}}
    assert [run["id"] for run in report["slowest"]][:3] == ["t1", "k1", "f2"]
    assert report["seconds"]["max"] == 30.0 and 0.05 < report["seconds"]["p50"] < 0.08

    run = subprocess.run(korvane, capture_output=True, text=True, check=False, env=dict(os.environ, NO_COLOR="1"))
    assert run.returncode == 1 and "\x1b" not in run.stdout
    assert run.stdout.splitlines()[:2] == [
        f"{out / 'results.jsonl'}: 17 runs: 11 completed, 3 error, 2 failed, 1 timeout",
        "3 lines not a results line (line 17, 18, 19), not counted",
    ]
    assert "  2  error                ProgramError: line <n>: unknown instruction <text>  e.g. p1, p2" in run.stdout
    assert "retried: 2 attempts ended by the infrastructure, over 1 run (WorkerDied 2)" in run.stdout

    # Only whole results: every run completed gives 0, evidence alone 4; a FIFO is refused.
    write_lines(out / "results.jsonl", lines[:10])
    assert subprocess.run(korvane, capture_output=True, check=False).returncode == 0
    write_lines(out / "results.jsonl", lines[:10] + [lines[15]])
    assert subprocess.run(korvane, capture_output=True, check=False).returncode == 4
    os.unlink(out / "results.jsonl")
    os.mkfifo(out / "results.jsonl")
    run = subprocess.run(korvane, capture_output=True, text=True, check=False, timeout=60)
    assert run.returncode == 2 and "not a regular file" in run.stderr
