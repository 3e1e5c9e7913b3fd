"""The asyncio API: the same shape as the blocking one, on asyncio.create_subprocess_exec."""

from __future__ import annotations

import asyncio
import subprocess
from typing import Any, AsyncIterator, List, Optional

from . import _session
from ._session import DEFAULT_STOP_TIMEOUT, Session, StopResult, _CaptureBase
from .blocking import check_timeout
from .errors import AudiotapWarning
from .events import AnyEvent, ReadyEvent
from .pcm import Channels, split_channels


class AsyncCapture(_CaptureBase):
    """One capture process. ``async with open(...) as cap`` starts it and
    returns once "ready" came; leaving the block stops it, cancellation included."""

    def __init__(self, *args: Any, **options: Any) -> None:
        self._s = Session(*args, **options)
        self._proc: Optional[asyncio.subprocess.Process] = None
        self._changed: Optional[asyncio.Condition] = None
        self._tasks: List["asyncio.Task[None]"] = []
        self._stopping: Optional["asyncio.Future[StopResult]"] = None

    @property
    def dropped_frames(self) -> int:
        return self._s.dropped_frames

    async def start(self) -> "AsyncCapture":
        if self._proc is not None:
            raise RuntimeError("an AsyncCapture starts once")
        self._changed = asyncio.Condition()
        try:
            self._proc = await asyncio.create_subprocess_exec(
                self._s.binary_path,
                *self._s.args,
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                env=self._s.env,
            )
        except OSError as e:
            raise self._s.start_error(None, e) from e
        self._tasks = [
            asyncio.ensure_future(self._read(self._proc.stdout, self._s.feed_stdout, True)),
            asyncio.ensure_future(self._read(self._proc.stderr, self._s.feed_stderr, False)),
        ]
        try:
            async with self._changed:
                await self._changed.wait_for(lambda: self._s.ready is not None or self._s.stderr_ended)
            if self._s.ready is None or self._s.refused():
                await self.stop(DEFAULT_STOP_TIMEOUT)
                raise self._s.start_error(self._proc.returncode) from None
        except BaseException:
            self._kill()
            raise
        return self

    async def __aenter__(self) -> "AsyncCapture":
        return await self.start()

    async def __aexit__(self, *exc: Any) -> None:
        await self.stop()

    async def _read(self, stream: asyncio.StreamReader, feed: Any, pcm: bool) -> None:
        changed = self._changed
        try:
            while True:
                data = await stream.read(65536)
                if not data:
                    break
                async with changed:
                    if pcm:
                        # Backpressure: a lagging reader holds this task, the pipe fills, and the process blocks.
                        await changed.wait_for(lambda: not self._s.pcm_full())
                    feed(data)
                    changed.notify_all()
        except (OSError, ValueError) as e:
            self._s.warn(AudiotapWarning("process", f"reading {'the PCM stream' if pcm else 'the events'}: {e}"))
        finally:
            warning = self._s.end_stdout() if pcm else self._s.end_stderr()
            if warning is not None:
                self._s.warn(warning)
            async with changed:
                changed.notify_all()

    def _check_started(self) -> None:
        if self._proc is None:
            raise RuntimeError("the capture has not started: use `async with open(...)` or await start()")

    def __aiter__(self) -> AsyncIterator[bytes]:
        """Chunks of whole frames of 16-bit little-endian samples (one each, or
        [system, microphone] with mic), until the PCM stream ends."""
        self._check_started()
        return self._chunks()

    async def _chunks(self) -> AsyncIterator[bytes]:
        changed = self._changed
        while True:
            async with changed:
                await changed.wait_for(self._s.pcm_waiting)
                chunk = self._s.next_chunk()
                changed.notify_all()
            if chunk is None:
                return
            yield chunk

    def iter_channels(self) -> AsyncIterator[Channels]:
        """With mic: each chunk taken apart, as (system, microphone)."""
        self._check_mic()
        self._check_started()
        return self._channels()

    async def _channels(self) -> AsyncIterator[Channels]:
        async for chunk in self._chunks():
            yield split_channels(chunk)

    @property
    def events(self) -> AsyncIterator[AnyEvent]:
        """Every event, in order, from the first, until standard error ends."""
        self._check_started()
        return self._events()

    async def _events(self) -> AsyncIterator[AnyEvent]:
        events = self._s.events
        while True:
            async with self._changed:
                await self._changed.wait_for(lambda: events or self._s.stderr_ended)
            if not events:
                return
            yield events.popleft()

    async def stop(self, timeout: float = DEFAULT_STOP_TIMEOUT) -> StopResult:
        """Closes stdin, then SIGTERM after ``timeout`` seconds, then SIGKILL
        after another ``timeout`` (on Windows: the kill after ``timeout``).
        Every call returns the same result."""
        check_timeout(timeout)
        self._check_started()
        if self._stopping is None:
            self._stopping = asyncio.ensure_future(self._run_stop(timeout))
        try:
            return await asyncio.shield(self._stopping)
        except asyncio.CancelledError:
            # Cancelled (Ctrl+C under asyncio.run): never leave the child behind.
            self._kill()
            raise

    async def _run_stop(self, timeout: float) -> StopResult:
        proc = self._proc
        async with self._changed:
            # A reader that stopped reading must not keep the process blocked in its write.
            self._s.released = True
            self._changed.notify_all()
        stopped_by = "exited"
        if self._s.pcm_ended and self._s.stderr_ended:
            await self._exited_within(timeout)  # it closed both pipes: it is exiting
        if proc.returncode is None:
            stopped_by = "stdin"
            self._close_stdin()
            for step in _session.stop_steps():
                if await self._exited_within(timeout):
                    break
                stopped_by = step
                if step == "SIGTERM":
                    proc.terminate()
                else:
                    proc.kill()
        await proc.wait()
        self._close_stdin()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        return self._s.stop_result(proc.returncode, stopped_by)

    async def _exited_within(self, timeout: float) -> bool:
        try:
            await asyncio.wait_for(self._proc.wait(), timeout)
            return True
        except asyncio.TimeoutError:
            return False

    def _close_stdin(self) -> None:
        stdin = self._proc.stdin
        if stdin is not None and not stdin.is_closing():
            stdin.close()

    def _kill(self) -> None:
        proc = self._proc
        if proc is not None and proc.returncode is None:
            try:
                proc.kill()
            except ProcessLookupError:
                pass


def open(rate: float = 16000, seconds: Optional[float] = None, chunk_ms: Optional[float] = None, **options: Any) -> AsyncCapture:
    """An asyncio capture, to be started with ``async with`` (or ``await start()``)."""
    return AsyncCapture(rate, seconds, chunk_ms, **options)
