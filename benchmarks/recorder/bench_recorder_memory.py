"""Peak resident growth of a korvane-stack run per emitted value, beyond the
emitted values themselves.

    python benchmarks/recorder/bench_recorder_memory.py [--quick]

Needs korvane-stack installed in the running interpreter (korvane itself is
not used: this measures the bundle's execute). Every figure comes from a fresh
child process that resets its peak resident size (``/proc/self/clear_refs``),
runs once, and reports ``VmHWM`` less the resident size before the run.

The run emits N values (N down to 1) with a recording and a sink that keeps
nothing. The baseline is a child that only builds the list of the same N
integers, appended one by one as the machine does: that list is what the
result must hold, the output value itself. Figures are given per emitted
value, and as the slope between the two sizes, which leaves out what does not
grow with the run (buffers, the prepared program).

Target: at most 64 bytes per emitted value beyond the output value itself.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile

PROGRAM = b"read\nloop: dup\nemit\npush 1\nsub\ndup\njnz loop\nhalt"
TARGET = 64


def _status(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def _reset_peak() -> None:
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # resets VmHWM to the current resident size
    except OSError:
        pass  # VmHWM then also counts the start-up, which is below the run's peak anyway


class DiscardingSink:
    def emit_batch(self, run_id, start, values):
        pass

    def record_capability_outputs(self, run_id, outputs):
        pass

    def record_capability_receipts(self, run_id, receipts):
        pass


def child(kind: str, count: int) -> None:
    import gc

    if kind == "baseline":
        gc.collect()
        _reset_peak()
        before = _status("VmRSS")
        outputs = []
        for value in range(count, 0, -1):
            outputs.append(value)
        held = len(outputs)
    else:
        import korvane_stack

        prepared = korvane_stack.prepare(
            PROGRAM, "python-stack-1", "null", json.dumps([count]), json.dumps({"step_limit": 10 * count}), "null"
        )
        with tempfile.TemporaryDirectory() as folder:
            sinks = [DiscardingSink()] if kind == "run+sink" else []
            gc.collect()
            _reset_peak()
            before = _status("VmRSS")
            result = korvane_stack.execute(prepared, sinks, os.path.join(folder, "run.jsonl"))
            assert result["publication"]["status"] == "published", result["recorder_finalization"]
            held = len(result["outputs"])
    print(json.dumps({"growth": _status("VmHWM") - before, "held": held}))


def measure(kind: str, count: int) -> int:
    output = subprocess.run(
        [sys.executable, __file__, "--child", kind, str(count)], check=True, capture_output=True, text=True
    ).stdout
    figures = json.loads(output)
    assert figures["held"] == count
    return figures["growth"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller runs (2e5 and 6e5 values)")
    parser.add_argument("--child", nargs=2, metavar=("KIND", "COUNT"), help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.child:
        child(arguments.child[0], int(arguments.child[1]))
        return

    sizes = (200_000, 600_000) if arguments.quick else (1_000_000, 3_000_000)
    baseline = {count: measure("baseline", count) for count in sizes}
    small, large = sizes
    print(f"peak resident growth per emitted value (bytes), runs of {small:,} and {large:,} values")
    print(
        f"  the output values alone (baseline): {baseline[small] / small:6.1f}  {baseline[large] / large:6.1f}"
        f"   slope {(baseline[large] - baseline[small]) / (large - small):6.1f}"
    )
    worst = 0.0
    for kind in ("run", "run+sink"):
        growth = {count: measure(kind, count) for count in sizes}
        beyond = {count: (growth[count] - baseline[count]) / count for count in sizes}
        slope = ((growth[large] - baseline[large]) - (growth[small] - baseline[small])) / (large - small)
        worst = max(worst, slope, beyond[large])
        label = "recorded run" if kind == "run" else "recorded run, one sink"
        print(
            f"  {label:<24} total {growth[small] / small:6.1f}  {growth[large] / large:6.1f}"
            f"   beyond the values {beyond[small]:6.1f}  {beyond[large]:6.1f}   slope {slope:6.1f}"
        )
    print(
        f"worst figure beyond the output values: {worst:.1f} bytes per value "
        f"(target at most {TARGET}: {'met' if worst <= TARGET else 'NOT met'})"
    )


if __name__ == "__main__":
    main()
