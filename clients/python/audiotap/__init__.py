"""Client for the audiotap capture process: spawns it, hands over the system's
audio as whole 16-bit samples and its events as typed values, and stops it
cleanly. Blocking API: ``capture()``; asyncio API: ``open()``."""

from ._session import DEFAULT_RATE, MIC_UNKNOWN, StopResult, build_args, resolve_binary
from .aio import AsyncCapture, open
from .blocking import Capture, capture
from .errors import AudiotapWarning, StartError
from .events import (
    AnyEvent,
    DeviceEvent,
    ErrorEvent,
    Event,
    LevelEvent,
    OutputFormat,
    ReadyEvent,
    StoppedEvent,
    TapFormat,
)
from .pcm import Channels, split_channels

__all__ = [
    "AnyEvent",
    "AsyncCapture",
    "AudiotapWarning",
    "Capture",
    "Channels",
    "DEFAULT_RATE",
    "DeviceEvent",
    "ErrorEvent",
    "Event",
    "LevelEvent",
    "MIC_UNKNOWN",
    "OutputFormat",
    "ReadyEvent",
    "StartError",
    "StopResult",
    "StoppedEvent",
    "TapFormat",
    "build_args",
    "capture",
    "open",
    "resolve_binary",
    "split_channels",
]
