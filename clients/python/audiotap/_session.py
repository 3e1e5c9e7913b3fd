"""What the blocking and the asyncio captures share: options, the binary's
path, and the reading of both output streams. The I/O is theirs."""

from __future__ import annotations

import math
import os
import platform
import signal as _signal
import sys
import warnings
from collections import deque
from dataclasses import dataclass
from typing import Any, Callable, Deque, Dict, Iterable, List, Mapping, Optional, Sequence

from .errors import AudiotapWarning, StartError
from .events import AnyEvent, ErrorEvent, LevelEvent, LineSplitter, ReadyEvent, StoppedEvent, parse_line
from .pcm import BYTES_PER_SAMPLE, Aligner, ChunkQueue, bytes_for_ms, queue_limit

DEFAULT_RATE = 16000
#: The start-up failure when mic meets a binary that ignores --mic and writes one channel.
MIC_UNKNOWN = "this audiotap binary does not know --mic: its output is not two channels"
DEFAULT_STOP_TIMEOUT = 3.0
#: Chunks the unbounded queue holds before the reader stops taking more from the pipe.
HIGH_WATER = 16
#: Events kept for a host that does not read ``events``.
MAX_EVENTS = 1024

_ARCH = {"x86_64": "x64", "amd64": "x64", "aarch64": "arm64", "arm64": "arm64", "i386": "ia32", "i686": "ia32"}


def platform_dir(sys_platform: str, machine: str) -> str:
    """bin/ sub-folder name, as the Node client names it: darwin-arm64, linux-x64, ..."""
    name = "win32" if sys_platform.startswith("win") else sys_platform.rstrip("0123456789")
    return f"{name}-{_ARCH.get(machine.lower(), machine.lower())}"


#: The platform stop() plans for.
PLATFORM = sys.platform


def stop_steps() -> Sequence[str]:
    """What stop() does after closing stdin, each after ``timeout``: Windows
    has no signal a process can handle, and terminate() there is already the
    hard kill, so the orderly stop is stdin alone."""
    return ("SIGKILL",) if PLATFORM.startswith("win") else ("SIGTERM", "SIGKILL")


def resolve_binary(
    binary_path: Optional[str],
    env: Mapping[str, str],
    package_root: str,
    sys_platform: str = sys.platform,
    machine: str = platform.machine(),
) -> str:
    if binary_path:
        return os.fspath(binary_path)
    if env.get("AUDIOTAP_BINARY"):
        return env["AUDIOTAP_BINARY"]
    folder = platform_dir(sys_platform, machine)
    name = "audiotap.exe" if folder.startswith("win32-") else "audiotap"
    return os.path.join(package_root, "bin", folder, name)


def _pid_list(name: str, pids: Iterable[int]) -> List[int]:
    out = []
    for pid in pids:
        if isinstance(pid, bool) or not isinstance(pid, int) or pid <= 0:
            raise ValueError(f"{name} takes positive process IDs, got {pid!r}")
        out.append(pid)
    return out


def build_args(
    rate: float = DEFAULT_RATE,
    seconds: Optional[float] = None,
    follow_output: bool = True,
    include: Iterable[int] = (),
    exclude: Iterable[int] = (),
    exclude_self: bool = False,
    mic: bool = False,
    echo_cancel: bool = True,
) -> List[str]:
    if isinstance(rate, bool) or not isinstance(rate, (int, float)) or not math.isfinite(rate) or rate <= 0:
        raise ValueError(f"rate must be a positive number of hertz, got {rate!r}")
    args = ["--rate", str(rate)]
    if seconds is not None:
        if math.isnan(seconds) or seconds < 0:
            raise ValueError(f"seconds must be None, 0 (no limit) or more, got {seconds!r}")
        if 0 < seconds < math.inf:
            args += ["--seconds", repr(float(seconds))]
    if follow_output:
        args.append("--follow-output")
    for pid in _pid_list("include", include):
        args += ["--include-pid", str(pid)]
    excluded = _pid_list("exclude", exclude)
    if exclude_self and os.getpid() not in excluded:
        excluded.append(os.getpid())
    for pid in excluded:
        args += ["--exclude-pid", str(pid)]
    if not echo_cancel and not mic:
        # Alone the binary would ignore it: the host meant something else.
        raise ValueError("echo_cancel=False needs mic=True")
    if mic:
        args.append("--mic")
        if not echo_cancel:
            args.append("--no-echo-cancel")
    return args


@dataclass(frozen=True)
class StopResult:
    #: "frames" of the "stopped" event; None when the process reported none.
    frames: Optional[int]
    #: The process's exit status; None when a signal ended it.
    exit_code: Optional[int]
    signal: Optional[_signal.Signals]
    #: "stdin" (the orderly stop), "SIGTERM" (not on Windows), "SIGKILL" (on Windows: TerminateProcess),
    #: or "exited" when it was gone already.
    stopped_by: str
    #: Frames (samples, without mic) the bounded buffer dropped.
    dropped_frames: int


def exit_info(returncode: Optional[int]):
    if returncode is None or returncode >= 0:
        return returncode, None
    try:
        return None, _signal.Signals(-returncode)
    except ValueError:
        return None, None


class Session:
    """The protocol state of one capture process, fed with what its pipes deliver."""

    def __init__(
        self,
        rate: float = DEFAULT_RATE,
        seconds: Optional[float] = None,
        chunk_ms: Optional[float] = None,
        *,
        binary_path: Optional[str] = None,
        env: Optional[Mapping[str, str]] = None,
        max_buffered_ms: Optional[float] = None,
        follow_output: bool = True,
        include: Sequence[int] = (),
        exclude: Sequence[int] = (),
        exclude_self: bool = False,
        mic: bool = False,
        echo_cancel: bool = True,
        on_level: Optional[Callable[[LevelEvent], None]] = None,
        on_error: Optional[Callable[[ErrorEvent], None]] = None,
        on_event: Optional[Callable[[AnyEvent], None]] = None,
        on_warning: Optional[Callable[[AudiotapWarning], None]] = None,
    ) -> None:
        for name, value in (("chunk_ms", chunk_ms), ("max_buffered_ms", max_buffered_ms)):
            if value is not None and not (value > 0 and math.isfinite(value)):
                raise ValueError(f"{name} must be more than 0, got {value!r}")
        self.args = build_args(rate, seconds, follow_output, include, exclude, exclude_self, mic, echo_cancel)
        self.env: Dict[str, str] = dict(os.environ if env is None else env)
        self.binary_path = resolve_binary(binary_path, os.environ, os.path.dirname(os.path.abspath(__file__)))
        self.rate = rate
        #: Samples per frame of the PCM stream: 1, or 2 with mic.
        self.channels = 2 if mic else 1
        frame_bytes = BYTES_PER_SAMPLE * self.channels
        chunk_bytes = 0 if chunk_ms is None else bytes_for_ms(chunk_ms, rate, self.channels)
        self._aligner = Aligner(chunk_bytes, frame_bytes)
        self._pcm = ChunkQueue(queue_limit(max_buffered_ms, chunk_bytes, rate, self.channels), frame_bytes)
        self._lines = LineSplitter()
        self._callbacks = {"level": on_level, "error": on_error, "event": on_event, "warning": on_warning}
        # Appended by the stderr reader, taken by the host: deque's ends are thread-safe.
        self.events: Deque[AnyEvent] = deque(maxlen=MAX_EVENTS)
        self._events_dropped = False
        self.ready: Optional[ReadyEvent] = None
        # An "error" before "ready" is a run-time error when "ready" follows,
        # the start-up failure when the process exits instead: nothing orders
        # run-time events against "ready".
        self._held: List[ErrorEvent] = []
        self.stopped_frames: Optional[int] = None
        self.pcm_ended = False
        self.stderr_ended = False
        self.released = False

    @property
    def dropped_frames(self) -> int:
        """Frames (samples, without mic) the bounded buffer (max_buffered_ms) has dropped so far."""
        return self._pcm.dropped_frames

    # -- callbacks and warnings -------------------------------------------

    def _call(self, name: str, value: Any) -> None:
        fn = self._callbacks[name]
        if fn is None:
            return
        try:
            fn(value)
        except Exception as e:  # a host's bug must not stop the reading
            if name == "warning":
                warnings.warn(AudiotapWarning("callback", f"on_warning raised {e!r}"), stacklevel=2)
            else:
                self.warn(AudiotapWarning("callback", f"on_{name} raised {e!r}"))

    def warn(self, w: AudiotapWarning) -> None:
        if self._callbacks["warning"] is not None:
            self._call("warning", w)
        else:
            warnings.warn(w, stacklevel=2)

    # -- standard error ---------------------------------------------------

    def feed_stderr(self, data: bytes) -> None:
        lines, overlong = self._lines.push(data)
        if overlong:
            self.warn(AudiotapWarning("malformed-line", "a line longer than 1 MiB; discarded"))
        for line in lines:
            self._handle_line(line)

    def end_stderr(self) -> None:
        for line in self._lines.end():
            self._handle_line(line)
        self.stderr_ended = True

    def _handle_line(self, line: str) -> None:
        event, warning = parse_line(line)
        if warning is not None:
            self.warn(warning)
        if event is None:
            return
        if len(self.events) == MAX_EVENTS:
            if not self._events_dropped:
                self._events_dropped = True
                self.warn(AudiotapWarning("events-dropped", f"nobody reads events; only the last {MAX_EVENTS} are kept"))
        self.events.append(event)
        self._call("event", event)
        # A "ready" whose fields do not check out still means the capture runs.
        if event.type == "ready" and self.ready is None:
            self.ready = event  # type: ignore[assignment]
            for held in self._held:
                self._call("error", held)
            self._held.clear()
        elif isinstance(event, LevelEvent):
            self._call("level", event)
        elif isinstance(event, ErrorEvent):
            if self.ready is None:
                self._held.append(event)
            else:
                self._call("error", event)
        elif isinstance(event, StoppedEvent):
            self.stopped_frames = event.frames

    # -- standard output --------------------------------------------------

    def feed_stdout(self, data: bytes) -> None:
        self._pcm.put(self._aligner.push(data))

    def end_stdout(self) -> Optional[AudiotapWarning]:
        """Returns the warning to give (outside any lock) when a partial sample was discarded."""
        rest, odd = self._aligner.finish()
        if rest:
            self._pcm.put([rest])
        self.pcm_ended = True
        if odd:
            unit = "sample" if self.channels == 1 else "frame"
            return AudiotapWarning("partial-sample", f"the PCM stream ended {odd} byte(s) into a {unit}; discarded")
        return None

    def pcm_waiting(self) -> bool:
        return len(self._pcm) > 0 or self.pcm_ended

    def pcm_full(self) -> bool:
        """True while the pipe reader should wait: unbounded, not released, and the reader is behind."""
        return not self._pcm.bounded and not self.released and len(self._pcm) >= HIGH_WATER

    def next_chunk(self) -> Optional[bytes]:
        return self._pcm.get()

    def refused(self) -> bool:
        """True when mic was asked for and "ready" does not say two channels: a
        binary older than --mic ignores it, and its one channel read as frames of two would be noise."""
        if self.channels == 1 or self.ready is None:
            return False
        out = self.ready.raw.get("outputFormat")
        return not isinstance(out, dict) or out.get("channels") != self.channels

    # -- the end ----------------------------------------------------------

    def start_error(self, returncode: Optional[int], spawn_error: Optional[BaseException] = None) -> StartError:
        exit_code, sig = exit_info(returncode)
        if spawn_error is not None:
            detail = getattr(spawn_error, "strerror", None) or str(spawn_error)
            return StartError(f"could not start {self.binary_path}: {detail}", exit_code=None, signal=None)
        if self.refused():
            for held in self._held:
                self._call("error", held)
            self._held.clear()
            return StartError(MIC_UNKNOWN, exit_code=exit_code, signal=sig)
        failure = self._held.pop() if self._held else None
        for held in self._held:
            self._call("error", held)
        self._held.clear()
        if failure is not None:
            return StartError(failure.message, status=failure.status, code=failure.code, exit_code=exit_code, signal=sig)
        how = f"was killed by {sig.name}" if sig is not None else f"exited with status {exit_code}"
        return StartError(f"the capture process {how} before it was ready", exit_code=exit_code, signal=sig)

    def stop_result(self, returncode: Optional[int], stopped_by: str) -> StopResult:
        exit_code, sig = exit_info(returncode)
        return StopResult(self.stopped_frames, exit_code, sig, stopped_by, self.dropped_frames)


class _CaptureBase:
    """What both APIs show of their session and process."""

    _s: Session
    _proc: Any

    @property
    def ready(self) -> "ReadyEvent":
        """The "ready" event (a generic Event if its fields had the wrong types)."""
        if self._s.ready is None:
            raise RuntimeError("the capture has not started")
        return self._s.ready

    @property
    def pid(self) -> Optional[int]:
        return None if self._proc is None else self._proc.pid

    @property
    def rate(self) -> float:
        return self._s.rate

    @property
    def channels(self) -> int:
        """Samples per frame of the chunks: 1, or 2 with mic."""
        return self._s.channels

    def _check_mic(self) -> None:
        if self._s.channels != 2:
            raise RuntimeError("iter_channels() needs a capture made with mic=True")

    @property
    def binary_path(self) -> str:
        return self._s.binary_path
