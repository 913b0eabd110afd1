"""Reaching a Dask scheduler within a bounded time, and noticing when it is gone.

`connect` makes the `distributed.Client` of a campaign. Before it does, it
checks the address within `timeout` seconds: that something listens there
(else the scheduler cannot be reached), that it completes Dask's handshake
(TLS included) and answers an identity request (else it is not a Dask
scheduler, or a stopped one), and that what answers is a scheduler (not a
worker). Dask's own connection waits without a bound for a peer that
accepts and never answers; this check is what keeps that from hanging.

`SchedulerWatch` is the campaign's heartbeat: it asks the scheduler for its
identity every `interval` seconds without blocking, and says the scheduler
is lost when the client's connection broke (Dask cancels every task it had
then) or when a question has gone unanswered for `silence` seconds: by
default Dask's own limit for a silent connection,
`distributed.comm.timeouts.tcp` (30 s unless configured).

Unless asked to be verbose, Dask's log lines and warnings are kept off the
command's standard error: the command says what matters in its own words.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import importlib
import logging
import socket
import ssl
import time
import urllib.parse
import warnings
from typing import Any

from .manifest import CampaignError

HEARTBEAT_SECONDS = 1.0
SCHEDULER_SILENCE_SECONDS = 30.0
_DASK_LOGGERS = ("distributed", "dask", "tornado", "bokeh", "asyncio")


def import_distributed() -> Any:
    """The `distributed` module, which the extra korvane[dask] installs."""
    try:
        return importlib.import_module("distributed")
    except ImportError:
        raise CampaignError("--scheduler needs Dask's distributed: pip install 'korvane[dask]'") from None


def quiet_dask() -> None:
    """Keeps Dask's log lines and warnings off standard error."""
    names = [
        name
        for name in logging.Logger.manager.loggerDict
        if any(name == top or name.startswith(top + ".") for top in _DASK_LOGGERS)
    ]
    for name in {*_DASK_LOGGERS, *names}:
        logger = logging.getLogger(name)
        for handler in list(logger.handlers):
            logger.removeHandler(handler)
        logger.addHandler(logging.NullHandler())
        logger.propagate = False
    for module in _DASK_LOGGERS:
        warnings.filterwarnings("ignore", module=rf"{module}(\.|$)")


def security(ca_file: str | None, cert: str | None, key: str | None) -> Any:
    """Dask's security settings for a client: with any of the three files, TLS
    with them and encryption required; without, None (Dask's configuration).
    ValueError names a file that cannot be read."""
    if ca_file is None and cert is None and key is None:
        return None
    for option, path in (("--tls-ca-file", ca_file), ("--tls-cert", cert), ("--tls-key", key)):
        if path is not None:
            try:
                with open(path, "rb") as stream:
                    stream.read(1)
            except OSError as error:
                raise ValueError(f"{option} {path}: {error.strerror or error}") from None
    return import_distributed().security.Security(
        tls_ca_file=ca_file, tls_client_cert=cert, tls_client_key=key, require_encryption=True
    )


def connect(address: str, *, timeout: float, tls: Any = None, verbose: bool = False) -> Any:
    """A `distributed.Client` of the scheduler at `address`, or CampaignError
    saying what is there instead, within about `timeout` seconds."""
    distributed = import_distributed()
    if not verbose:
        quiet_dask()
    if tls is None:
        tls = _configured_security(distributed, address)
    if address.startswith("tls://") and tls.get_connection_args("client").get("ssl_context") is None:
        raise CampaignError(
            f"{address} is a TLS address: give --tls-ca-file, --tls-cert and --tls-key, "
            "or Dask's distributed.comm.tls settings"
        )
    deadline = time.monotonic() + timeout
    _reach(address, timeout)
    try:
        kind = asyncio.run(_identity(distributed, address, tls, max(deadline - time.monotonic(), 0.1)))
    except TimeoutError:
        raise CampaignError(
            f"{address} accepts connections but did not answer as a Dask scheduler within {timeout:g} s "
            "(not a Dask scheduler, or a stopped one; --connect-timeout sets the wait)"
        ) from None
    except ssl.SSLError as error:
        raise CampaignError(f"TLS with {address} failed: {error}") from None
    except Exception as error:
        # A TLS scheduler reached with tcp:// resets the connection; a plain
        # one reached with tls:// never completes the handshake.
        hint = "a plain TCP scheduler reached with tls://?" if address.startswith("tls://") else "a TLS scheduler?"
        raise CampaignError(
            f"{address} is not a Dask scheduler, or refused this client ({hint}): {_why(error)}"
        ) from None
    if kind != "Scheduler":
        raise CampaignError(f"{address} is a Dask {kind}, not a scheduler")
    try:
        return distributed.Client(address, timeout=f"{timeout}s", security=tls, set_as_default=False)
    except Exception as error:
        raise CampaignError(f"cannot connect to the scheduler {address}: {_why(error)}") from None


def close(client: Any) -> None:
    """Closes a client without hanging on a scheduler that is gone."""
    try:
        client.close(timeout=max(client._timeout, 1))
    except Exception:
        pass


def _why(error: BaseException) -> str:
    cause = error.__cause__ or error.__context__
    text = f"{type(error).__name__}: {error}"
    if cause is not None and str(cause) and str(cause) not in text:
        text += f" ({type(cause).__name__}: {cause})"
    return text


def _configured_security(distributed: Any, address: str) -> Any:
    """What Dask's configuration gives a client of `address`: its security
    loader's answer, else its distributed.comm settings."""
    loader = importlib.import_module("dask").config.get("distributed.client.security-loader", None)
    if loader:
        found = distributed.utils.import_term(loader)({"address": address})
        if found is not None:
            return found
    return distributed.security.Security()


def _dask_silence() -> float:
    try:
        dask = importlib.import_module("dask")
        return float(dask.utils.parse_timedelta(dask.config.get("distributed.comm.timeouts.tcp"), default="seconds"))
    except Exception:
        return SCHEDULER_SILENCE_SECONDS


def _reach(address: str, timeout: float) -> None:
    """CampaignError when nothing listens at a tcp:// or tls:// address."""
    parts = urllib.parse.urlsplit(address if "://" in address else "tcp://" + address)
    if parts.scheme not in ("tcp", "tls"):
        return  # another transport: Dask's connection tells
    try:
        host, port = parts.hostname, parts.port
    except ValueError:
        raise CampaignError(f"{address} is not a scheduler address (tcp://HOST:PORT or tls://HOST:PORT)") from None
    if not host or port is None:
        raise CampaignError(f"{address} is not a scheduler address (tcp://HOST:PORT or tls://HOST:PORT)")
    try:
        socket.create_connection((host, port), timeout=timeout).close()
    except TimeoutError:
        raise CampaignError(f"cannot reach the scheduler {address}: no answer within {timeout:g} s") from None
    except OSError as error:
        reason = error.strerror or str(error)
        raise CampaignError(f"cannot reach the scheduler {address}: {reason}") from None


async def _identity(distributed: Any, address: str, tls: Any, timeout: float) -> str:
    """What the server at `address` says it is, after Dask's handshake."""

    async def ask() -> str:
        comm = await distributed.comm.connect(address, timeout=timeout, **tls.get_connection_args("client"))
        try:
            await comm.write({"op": "identity", "reply": True})
            reply = await comm.read()
        finally:
            comm.abort()
        if not isinstance(reply, dict) or not isinstance(reply.get("type"), str):
            raise ValueError(f"answered {reply!r:.80} to an identity request")
        return str(reply["type"])

    return await asyncio.wait_for(ask(), timeout)


class SchedulerWatch:
    """The heartbeat of a campaign on a Dask client: `check()`, called as
    often as the campaign likes (it never blocks), returns None while the
    scheduler answers, and the reason once it is lost."""

    def __init__(self, client: Any, *, interval: float = HEARTBEAT_SECONDS, silence: float | None = None) -> None:
        self.client = client
        self.interval = interval
        self.silence = _dask_silence() if silence is None else silence
        self.address = getattr(getattr(client, "scheduler", None), "address", None) or "the scheduler"
        self._asked = time.monotonic()
        self._question: concurrent.futures.Future[Any] | None = None
        # Dask makes a new stream for each connection: another one means the
        # connection broke (and every task was dropped), even when the client
        # reconnected before the last look.
        self._stream = getattr(client, "scheduler_comm", None)

    def check(self) -> str | None:
        status = str(getattr(self.client, "status", "running"))
        if status != "running" or getattr(self.client, "scheduler_comm", None) is not self._stream:
            what = f"the client is {status}" if status in ("closing", "closed") else "the connection to it broke"
            return f"lost the scheduler {self.address}: {what}; the runs not written are done by a rerun"
        now = time.monotonic()
        if self._question is not None:
            if not self._question.done():
                if now - self._asked < self.silence:
                    return None
                self._question.cancel()
                return (
                    f"lost the scheduler {self.address}: no answer for {self.silence:g} s; "
                    "the runs not written are done by a rerun"
                )
            error = None if self._question.cancelled() else self._question.exception()
            self._question = None
            if error is not None:
                return f"lost the scheduler {self.address}: {_why(error)}; the runs not written are done by a rerun"
        if now - self._asked >= self.interval:
            self._ask(now)
        return None

    def _ask(self, now: float) -> None:
        loop = getattr(self.client.loop, "asyncio_loop", None)
        if loop is None:  # not a client this watch knows how to ask
            return
        self._asked = now
        self._question = asyncio.run_coroutine_threadsafe(self.client.scheduler.identity(), loop)
