"""The event lines of the capture process's standard error, as typed values."""

from __future__ import annotations

import json
import math
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

from .errors import AudiotapWarning


@dataclass(frozen=True)
class TapFormat:
    sample_rate: float
    channels: int


@dataclass(frozen=True)
class OutputFormat:
    sample_rate: float
    #: 1; 2 with mic (frames of [system, microphone]).
    channels: int
    bits: int


@dataclass(frozen=True)
class ReadyEvent:
    """Capture has started."""

    tap_format: TapFormat
    output_format: OutputFormat
    output_device_uid: str
    #: The binary's version, for a host to log what it runs.
    version: str
    #: The process IDs given with include/exclude; None when the option was not used.
    include: Optional[Tuple[int, ...]] = None
    exclude: Optional[Tuple[int, ...]] = None
    raw: Dict[str, Any] = field(default_factory=dict, repr=False, compare=False)
    #: With mic: what each channel of a frame holds, ("system", "microphone").
    channels: Optional[Tuple[str, ...]] = None
    #: With mic: the input device captured as the microphone.
    input_device_uid: Optional[str] = None
    type: str = field(default="ready", init=False)


@dataclass(frozen=True)
class LevelEvent:
    #: Loudest sample since the previous "level", from 0 to 1.
    peak: float
    #: Samples written to the PCM stream since start, a running total.
    frames: int
    raw: Dict[str, Any] = field(default_factory=dict, repr=False, compare=False)
    #: With mic: the loudest sample of each channel, (system, microphone); ``peak`` is the louder.
    peaks: Optional[Tuple[float, ...]] = None
    type: str = field(default="level", init=False)


@dataclass(frozen=True)
class ErrorEvent:
    message: str
    #: Present on start-up failures of a platform call.
    status: Optional[int] = None
    #: The status as four characters, or its decimal text.
    code: Optional[str] = None
    raw: Dict[str, Any] = field(default_factory=dict, repr=False, compare=False)
    type: str = field(default="error", init=False)


@dataclass(frozen=True)
class StoppedEvent:
    #: Samples written in all.
    frames: int
    raw: Dict[str, Any] = field(default_factory=dict, repr=False, compare=False)
    type: str = field(default="stopped", init=False)


@dataclass(frozen=True)
class DeviceEvent:
    """The capture moved to another output device, or with mic to another input device (with follow_output)."""

    output_device_uid: str
    tap_format: TapFormat
    raw: Dict[str, Any] = field(default_factory=dict, repr=False, compare=False)
    type: str = field(default="device", init=False)
    # With mic: the microphone captured from now on; None when there is none beside the new output.
    input_device_uid: Optional[str] = None


@dataclass(frozen=True)
class Event:
    """A well-formed line of a type this client does not know, or one whose fields do not check out."""

    type: str
    raw: Dict[str, Any] = field(default_factory=dict, compare=False)


AnyEvent = Union[ReadyEvent, LevelEvent, ErrorEvent, StoppedEvent, DeviceEvent, Event]


class _BadField(Exception):
    pass


def _number(obj: Dict[str, Any], key: str) -> float:
    v = obj.get(key)
    if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v):
        raise _BadField(key)
    return v


def _integer(obj: Dict[str, Any], key: str) -> int:
    v = _number(obj, key)
    if not float(v).is_integer():
        raise _BadField(key)
    return int(v)


def _text(obj: Dict[str, Any], key: str) -> str:
    v = obj.get(key)
    if not isinstance(v, str):
        raise _BadField(key)
    return v


def _object(obj: Dict[str, Any], key: str) -> Dict[str, Any]:
    v = obj.get(key)
    if not isinstance(v, dict):
        raise _BadField(key)
    return v


def _tap_format(obj: Dict[str, Any]) -> TapFormat:
    tap = _object(obj, "tapFormat")
    try:
        return TapFormat(_number(tap, "sampleRate"), _integer(tap, "channels"))
    except _BadField:
        raise _BadField("tapFormat") from None


def _list(obj: Dict[str, Any], key: str, item: Callable[[Dict[str, Any], str], Any]) -> Optional[Tuple[Any, ...]]:
    if key not in obj:
        return None
    v = obj[key]
    if not isinstance(v, list):
        raise _BadField(key)
    try:
        return tuple(item({"n": n}, "n") for n in v)
    except _BadField:
        raise _BadField(key) from None


def _pids(obj: Dict[str, Any], key: str) -> Optional[Tuple[int, ...]]:
    return _list(obj, key, _integer)


def _ready(obj: Dict[str, Any]) -> ReadyEvent:
    tap = _tap_format(obj)
    out = _object(obj, "outputFormat")
    try:
        output = OutputFormat(_number(out, "sampleRate"), _integer(out, "channels"), _integer(out, "bits"))
    except _BadField:
        raise _BadField("outputFormat") from None
    input_device = None if "inputDeviceUID" not in obj else _text(obj, "inputDeviceUID")
    return ReadyEvent(tap, output, _text(obj, "outputDeviceUID"), _text(obj, "version"), _pids(obj, "include"),
                      _pids(obj, "exclude"), obj, _list(obj, "channels", _text), input_device)


def _level(obj: Dict[str, Any]) -> LevelEvent:
    peaks = _list(obj, "peaks", _number)
    return LevelEvent(float(_number(obj, "peak")), _integer(obj, "frames"), obj,
                      None if peaks is None else tuple(float(p) for p in peaks))


def _error(obj: Dict[str, Any]) -> ErrorEvent:
    message = _text(obj, "message")
    status = None if obj.get("status") is None else _integer(obj, "status")
    code = None if obj.get("code") is None else _text(obj, "code")
    return ErrorEvent(message, status, code, obj)


_BUILDERS = {
    "ready": _ready,
    "level": _level,
    "error": _error,
    "stopped": lambda o: StoppedEvent(_integer(o, "frames"), o),
    "device": lambda o: DeviceEvent(_text(o, "outputDeviceUID"), _tap_format(o), o,
                                    None if "inputDeviceUID" not in o else _text(o, "inputDeviceUID")),
}


def parse_line(line: str) -> Tuple[Optional[AnyEvent], Optional[AudiotapWarning]]:
    """One line (without its line feed) to an event, a warning, both, or neither (a blank line)."""
    text = line[:-1] if line.endswith("\r") else line
    if not text.strip():
        return None, None
    try:
        value = json.loads(text)
    except (ValueError, RecursionError) as e:
        return None, AudiotapWarning("malformed-line", str(e), line)
    if not isinstance(value, dict) or not isinstance(value.get("type"), str):
        return None, AudiotapWarning("malformed-line", 'not an object with a string "type"', line)
    kind = value["type"]
    build = _BUILDERS.get(kind)
    if build is None:
        return Event(kind, value), None
    try:
        return build(value), None
    except _BadField as bad:
        return Event(kind, value), AudiotapWarning("bad-fields", f'"{kind}" event with a bad "{bad}"', line)


class LineSplitter:
    """Splits the byte stream into lines, decoding each whole line, so a UTF-8
    character split across reads stays whole; bad bytes become U+FFFD."""

    def __init__(self, max_line: int = 1 << 20) -> None:
        self._pending = bytearray()
        self._max = max_line
        self._skipping = False

    def push(self, data: bytes) -> Tuple[List[str], int]:
        """Returns the complete lines, and how many overlong lines were cut away."""
        self._pending += data
        *lines, rest = bytes(self._pending).split(b"\n")
        out = []
        for line in lines:
            if self._skipping:
                self._skipping = False
            else:
                out.append(line.decode("utf-8", "replace"))
        self._pending = bytearray(rest)
        overlong = 0
        # A process that never ends its line must not grow this without bound.
        if len(self._pending) > self._max:
            self._pending.clear()
            overlong = 0 if self._skipping else 1
            self._skipping = True
        return out, overlong

    def end(self) -> List[str]:
        rest = bytes(self._pending)
        self._pending.clear()
        if self._skipping or not rest:
            return []
        return [rest.decode("utf-8", "replace")]
