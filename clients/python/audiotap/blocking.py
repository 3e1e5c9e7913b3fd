"""The blocking API: a capture process read by two threads of its own."""

from __future__ import annotations

import atexit
import math
import subprocess
import threading
import weakref
from typing import Any, Iterator, Optional

from . import _session
from ._session import DEFAULT_STOP_TIMEOUT, Session, StopResult, _CaptureBase
from .errors import AudiotapWarning
from .events import AnyEvent, ReadyEvent
from .pcm import Channels, split_channels

_live: "weakref.WeakSet[Capture]" = weakref.WeakSet()


@atexit.register
def _abandon_all() -> None:
    # The interpreter is going: no time for the whole stop. Closing stdin is
    # the orderly stop; SIGTERM also reaches a process still starting up,
    # which does not watch stdin yet (on Windows it would kill: stdin alone).
    # The process finishes its own teardown.
    for cap in list(_live):
        cap._abandon()


def check_timeout(timeout: float) -> float:
    if not (timeout >= 0) or math.isinf(timeout):
        raise ValueError(f"timeout must be a finite number of seconds, 0 or more, got {timeout!r}")
    return timeout


class Capture(_CaptureBase):
    """One capture process. ``with capture(...) as cap`` starts it and returns
    once "ready" came; leaving the block stops it, however it is left."""

    def __init__(self, *args: Any, **options: Any) -> None:
        self._s = Session(*args, **options)
        self._cond = threading.Condition()
        self._proc: Optional[subprocess.Popen] = None
        self._threads: list = []
        self._stop_lock = threading.Lock()
        self._result: Optional[StopResult] = None

    # -- properties -------------------------------------------------------

    @property
    def dropped_frames(self) -> int:
        with self._cond:
            return self._s.dropped_frames

    # -- start ------------------------------------------------------------

    def start(self) -> "Capture":
        """Starts the process and waits for "ready"; raises StartError instead."""
        if self._proc is not None:
            raise RuntimeError("a Capture starts once")
        try:
            self._proc = subprocess.Popen(
                [self._s.binary_path, *self._s.args],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                env=self._s.env,
                bufsize=0,
            )
        except OSError as e:
            raise self._s.start_error(None, e) from e
        _live.add(self)
        for target in (self._read_stdout, self._read_stderr):
            thread = threading.Thread(target=target, name=f"audiotap-{self._proc.pid}", daemon=True)
            thread.start()
            self._threads.append(thread)
        try:
            with self._cond:
                self._cond.wait_for(lambda: self._s.ready is not None or self._s.stderr_ended)
            if self._s.ready is None or self._s.refused():
                self.stop(DEFAULT_STOP_TIMEOUT)
                raise self._s.start_error(self._proc.returncode) from None
        except BaseException:
            self._kill()
            raise
        return self

    def __enter__(self) -> "Capture":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    # -- reading ----------------------------------------------------------

    def _read_stdout(self) -> None:
        pipe = self._proc.stdout
        try:
            while True:
                data = pipe.read(65536)
                if not data:
                    break
                with self._cond:
                    # Backpressure: a reader that lags stops this thread, the pipe fills, and the process blocks.
                    self._cond.wait_for(lambda: not self._s.pcm_full())
                    self._s.feed_stdout(data)
                    self._cond.notify_all()
        except (OSError, ValueError) as e:
            self._s.warn(AudiotapWarning("process", f"reading the PCM stream: {e}"))
        finally:
            with self._cond:
                warning = self._s.end_stdout()
                self._cond.notify_all()
            if warning is not None:
                self._s.warn(warning)

    def _read_stderr(self) -> None:
        pipe = self._proc.stderr
        try:
            while True:
                data = pipe.read(65536)
                if not data:
                    break
                # Outside the lock: the callbacks run here, and must not hold up the PCM.
                self._s.feed_stderr(data)
                with self._cond:
                    self._cond.notify_all()
        except (OSError, ValueError) as e:
            self._s.warn(AudiotapWarning("process", f"reading the events: {e}"))
        finally:
            self._s.end_stderr()
            with self._cond:
                self._cond.notify_all()

    def _check_started(self) -> None:
        if self._proc is None:
            raise RuntimeError("the capture has not started: use `with capture(...)` or start()")

    def __iter__(self) -> Iterator[bytes]:
        """Chunks of whole frames of 16-bit little-endian samples (one each, or
        [system, microphone] with mic), until the PCM stream ends."""
        self._check_started()
        while True:
            with self._cond:
                self._cond.wait_for(self._s.pcm_waiting)
                chunk = self._s.next_chunk()
                self._cond.notify_all()
            if chunk is None:
                return
            yield chunk

    def iter_channels(self) -> Iterator[Channels]:
        """With mic: each chunk taken apart, as (system, microphone)."""
        self._check_mic()
        self._check_started()
        return (split_channels(chunk) for chunk in self)

    @property
    def events(self) -> Iterator[AnyEvent]:
        """Every event, in order, from the first, until standard error ends."""
        self._check_started()
        return self._iter_events()

    def _iter_events(self) -> Iterator[AnyEvent]:
        events = self._s.events
        while True:
            with self._cond:
                self._cond.wait_for(lambda: events or self._s.stderr_ended)
            if not events:
                return
            yield events.popleft()

    # -- stop -------------------------------------------------------------

    def stop(self, timeout: float = DEFAULT_STOP_TIMEOUT) -> StopResult:
        """Closes stdin; sends SIGTERM if the process has not exited after
        ``timeout`` seconds, SIGKILL after another ``timeout`` (on Windows:
        kills it after ``timeout``). Every call returns the same result;
        unread audio stays readable."""
        check_timeout(timeout)
        self._check_started()
        with self._stop_lock:
            if self._result is not None:
                return self._result
            proc = self._proc
            with self._cond:
                # A reader that stopped reading must not keep the process blocked in its write.
                self._s.released = True
                self._cond.notify_all()
            stopped_by = "exited"
            try:
                if self._s.pcm_ended and self._s.stderr_ended:
                    self._exited_within(timeout)  # it closed both pipes: it is exiting
                if proc.poll() is None:
                    stopped_by = "stdin"
                    self._close_stdin()
                    for step in _session.stop_steps():
                        if self._exited_within(timeout):
                            break
                        stopped_by = step
                        if step == "SIGTERM":
                            proc.terminate()
                        else:
                            proc.kill()
                    proc.wait()
                self._close_stdin()
                for thread in self._threads:
                    if thread is not threading.current_thread():  # stop() called from a callback
                        thread.join()
            except BaseException:
                # Ctrl+C while waiting: never leave the child behind.
                self._kill()
                raise
            _live.discard(self)
            self._result = self._s.stop_result(proc.returncode, stopped_by)
            return self._result

    def _exited_within(self, timeout: float) -> bool:
        try:
            self._proc.wait(timeout)
            return True
        except subprocess.TimeoutExpired:
            return False

    def _close_stdin(self) -> None:
        try:
            self._proc.stdin.close()
        except OSError:  # EPIPE: the process is gone already
            pass

    def _kill(self) -> None:
        proc = self._proc
        if proc is None:
            return
        with self._cond:
            self._s.released = True
            self._cond.notify_all()
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        self._close_stdin()
        _live.discard(self)

    def _abandon(self) -> None:
        if self._proc is not None and self._proc.poll() is None:
            self._close_stdin()
            if "SIGTERM" not in _session.stop_steps():
                return
            try:
                self._proc.terminate()
            except OSError:
                pass


def capture(rate: float = 16000, seconds: Optional[float] = None, chunk_ms: Optional[float] = None, **options: Any) -> Capture:
    """A capture, to be started with ``with`` (or start()). See Capture and the README for the options."""
    return Capture(rate, seconds, chunk_ms, **options)
