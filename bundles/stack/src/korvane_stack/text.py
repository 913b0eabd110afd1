"""Texts that came from elsewhere (run identifiers, exception messages),
made fit for the JSON of a result or a recording."""

from __future__ import annotations


def safe_text(text: str) -> str:
    """Lone surrogates, which strict JSON readers refuse, become backslash
    escapes; every other character stays as it is."""
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


def describe_exception(error: BaseException) -> str:
    """``TypeName: message``, or the bare type name for an empty message."""
    try:
        message = str(error)
    except Exception:  # an exception whose __str__ itself fails
        message = "<exception text unavailable>"
    name = type(error).__qualname__
    return safe_text(f"{name}: {message}" if message else name)
