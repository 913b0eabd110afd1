"""Delivery of a run's outputs to the caller's sinks.

Every sink is called with positional arguments only, and its return values
are ignored:

``emit_batch(run_id, start, values)``
    ``run_id`` is the run identifier (str); ``values`` a new list of the next
    emitted integers, at most the configured batch size of them and never
    empty; ``start`` the position of ``values[0]`` in the run's output stream
    (0 for the first batch). Batches go out while the run proceeds, each as
    soon as it is full, and the last, partial one when the run ends. The
    positions of one sink's batches are consecutive.

``record_capability_outputs(run_id, outputs)``
    Called once after the last batch. ``outputs`` is a new dict::

        {"machine_id": "stack", "machine_execution": <status>,
         "emitted": [all emitted values], "final_stack": [bottom .. top],
         "inputs_consumed": <int>, "steps": <int>}

``record_capability_receipts(run_id, receipts)``
    Called once, last. ``receipts`` is a new list with one dict per batch that
    this sink accepted, in order: ``{"batch": k, "start": s, "count": n}``.

Each sink receives its own copies, so a sink that modifies what it got cannot
change what the next sink sees. A sink whose method raises (any Exception) is
marked failed: it gets no further calls, the error is reported in the
``python_sink_delivery`` status with its index and the method name, and the
other sinks are served as before. BaseExceptions that are not Exceptions
(KeyboardInterrupt, SystemExit) are not swallowed.

Status: ``not_requested`` with no sinks; ``failed`` when at least one sink
failed; ``complete`` when every sink took every call.
"""

from __future__ import annotations

from collections.abc import Sequence

from .text import describe_exception


class _SinkState:
    __slots__ = ("sink", "index", "failure", "receipts")

    def __init__(self, sink: object, index: int) -> None:
        self.sink = sink
        self.index = index
        self.failure: dict | None = None
        self.receipts: list[dict] = []


class SinkFanout:
    def __init__(self, sinks: Sequence[object], run_id: str, batch_size: int) -> None:
        self._states = [_SinkState(sink, index) for index, sink in enumerate(sinks)]
        self._run_id = run_id
        self._batch_size = batch_size
        self._buffer: list[int] = []
        self._start = 0
        self._batches = 0

    def _call(self, state: _SinkState, method: str, *args: object) -> None:
        if state.failure is not None:
            return
        try:
            getattr(state.sink, method)(*args)
        except Exception as error:
            state.failure = {"index": state.index, "method": method, "error": describe_exception(error)}

    def add(self, value: int) -> None:
        if not self._states:
            return
        self._buffer.append(value)
        if len(self._buffer) >= self._batch_size:
            self._flush()

    def _flush(self) -> None:
        if not self._buffer:
            return
        batch, start = self._buffer, self._start
        self._buffer = []
        self._start += len(batch)
        for state in self._states:
            self._call(state, "emit_batch", self._run_id, start, list(batch))
            if state.failure is None:
                state.receipts.append({"batch": self._batches, "start": start, "count": len(batch)})
        self._batches += 1

    def finish(self, outputs: dict) -> dict:
        """Send the last batch and the two closing records; return the
        ``python_sink_delivery`` status object."""
        self._flush()
        for state in self._states:
            self._call(state, "record_capability_outputs", self._run_id, _copy(outputs))
            self._call(state, "record_capability_receipts", self._run_id, [dict(receipt) for receipt in state.receipts])
        failures = [state.failure for state in self._states if state.failure is not None]
        if not self._states:
            status = "not_requested"
        elif failures:
            status = "failed"
        else:
            status = "complete"
        return {"status": status, "sinks": len(self._states), "batches": self._batches, "failures": failures}


def _copy(outputs: dict) -> dict:
    return {key: list(value) if isinstance(value, list) else value for key, value in outputs.items()}
