"""Errors and warnings of the client."""

from __future__ import annotations

import signal as _signal
from typing import Optional


class StartError(Exception):
    """The capture process did not get as far as "ready".

    ``status`` and ``code`` are those the process reported with its error, when
    it gave them; ``exit_code`` is None when the process could not be started
    or was killed by a signal, which is then in ``signal``.
    """

    def __init__(
        self,
        message: str,
        *,
        status: Optional[int] = None,
        code: Optional[str] = None,
        exit_code: Optional[int] = None,
        signal: Optional[_signal.Signals] = None,
    ) -> None:
        super().__init__(message)
        self.message = message
        self.status = status
        self.code = code
        self.exit_code = exit_code
        self.signal = signal

    def __repr__(self) -> str:
        return (
            f"StartError({self.message!r}, status={self.status!r}, code={self.code!r}, "
            f"exit_code={self.exit_code!r}, signal={self.signal!r})"
        )


class AudiotapWarning(UserWarning):
    """Something the process wrote that the client could not use as it stands.

    ``reason`` is one of "malformed-line", "bad-fields" (a known event whose
    fields have the wrong types; it is still passed on, as a generic Event),
    "partial-sample" (the PCM stream ended inside a sample), "events-dropped"
    (nobody reads ``events``), "callback" (a callback raised) or "process".
    """

    def __init__(self, reason: str, detail: str, line: Optional[str] = None) -> None:
        super().__init__(f"{reason}: {detail}" + (f" ({line!r})" if line is not None else ""))
        self.reason = reason
        self.detail = detail
        self.line = line
