"""The installed bundle as korvane sees it: `korvane check` and one run through korvane."""

from korvane_tools.testing import check_bundle, run_machine


def test_korvane_check_passes():
    report = check_bundle("stack")
    assert report.metadata["machine_id"] == "stack"
    assert report.metadata["distribution"] == report.distribution == "korvane-stack"


def test_a_run_through_korvane_delivers_every_batch():
    run = run_machine(
        "stack",
        b"read\nloop: dup\nemit\npush 1\nsub\ndup\njnz loop\nhalt",
        configuration={"batch_size": 2},
        input_schedule=[3],
        sinks=2,
    )
    assert run.result["machine_execution"]["status"] == "completed"
    assert run.values == [3, 2, 1]
    assert [args[1:] for args in run.batches] == [(0, [3, 2]), (2, [1])]
    assert run.sinks[0].calls == run.sinks[1].calls
