"""The PCM stream as the host reads it: whole frames of signed 16-bit little-endian samples."""

from __future__ import annotations

from array import array
from collections import deque
from typing import Deque, Iterable, List, NamedTuple, Optional, Tuple

BYTES_PER_SAMPLE = 2


def bytes_for_ms(ms: float, rate: float, channels: int = 1) -> int:
    """Bytes in ``ms`` milliseconds at ``rate``, rounded to whole frames, at least one frame."""
    return max(1, round(ms * rate / 1000)) * BYTES_PER_SAMPLE * channels


class Channels(NamedTuple):
    """One chunk of a ``mic`` capture, taken apart: 16-bit little-endian mono samples each."""

    system: bytes
    microphone: bytes


def split_channels(frames: bytes) -> Channels:
    """The two channels of whole 4-byte [system, microphone] frames."""
    if len(frames) % 4:
        raise ValueError(f"split_channels takes whole 4-byte frames, got {len(frames)} bytes")
    samples = array("h", frames)
    # The array moves 2-byte items as they are, so the bytes keep their order on any machine.
    return Channels(samples[0::2].tobytes(), samples[1::2].tobytes())


class Aligner:
    """Cuts pipe reads, which may end anywhere, into whole frames, or into
    chunks of exactly ``chunk_bytes``; the rest waits for the next read."""

    def __init__(self, chunk_bytes: int = 0, frame_bytes: int = BYTES_PER_SAMPLE) -> None:
        self._unit = chunk_bytes or frame_bytes
        self._frame = frame_bytes
        self._carry = b""

    def push(self, data: bytes) -> List[bytes]:
        if self._carry:
            data = self._carry + data
        whole = len(data) - len(data) % self._unit
        self._carry = data[whole:]
        if whole == 0:
            return []
        if self._unit == self._frame:
            return [data[:whole]]
        return [data[at : at + self._unit] for at in range(0, whole, self._unit)]

    def finish(self) -> Tuple[Optional[bytes], int]:
        """The stream has ended: the short last chunk (if any), and the count of
        bytes discarded because they do not make a whole frame."""
        rest, self._carry = self._carry, b""
        odd = len(rest) % self._frame
        rest = rest[: len(rest) - odd]
        return (rest or None), odd


class ChunkQueue:
    """Chunks waiting for the reader. With ``max_bytes`` it never holds more:
    the oldest audio is dropped and counted. Not thread-safe by itself."""

    def __init__(self, max_bytes: Optional[int] = None, frame_bytes: int = BYTES_PER_SAMPLE) -> None:
        self._chunks: Deque[bytes] = deque()
        self._queued = 0
        self._max = max_bytes
        self._frame = frame_bytes
        self.dropped_frames = 0

    @property
    def bounded(self) -> bool:
        return self._max is not None

    @property
    def queued_bytes(self) -> int:
        return self._queued

    def __len__(self) -> int:
        return len(self._chunks)

    def put(self, chunks: Iterable[bytes]) -> int:
        """Queues the chunks; returns the frames dropped to make room."""
        for chunk in chunks:
            self._chunks.append(chunk)
            self._queued += len(chunk)
        if self._max is None or self._queued <= self._max:
            return 0
        excess = self._queued - self._max
        dropped = 0
        while excess > 0:
            head = self._chunks[0]
            if len(head) <= excess:
                self._chunks.popleft()
                cut = len(head)
            else:
                # Only in whole-frame mode: chunk mode keeps a multiple of the chunk size.
                self._chunks[0] = head[excess:]
                cut = excess
            excess -= cut
            dropped += cut
        self._queued -= dropped
        self.dropped_frames += dropped // self._frame
        return dropped // self._frame

    def get(self) -> Optional[bytes]:
        if not self._chunks:
            return None
        chunk = self._chunks.popleft()
        self._queued -= len(chunk)
        return chunk


def queue_limit(max_buffered_ms: Optional[float], chunk_bytes: int, rate: float, channels: int = 1) -> Optional[int]:
    """The bounded queue's size in bytes: whole chunks, at least one."""
    if max_buffered_ms is None:
        return None
    unit = chunk_bytes or BYTES_PER_SAMPLE * channels
    wanted = bytes_for_ms(max_buffered_ms, rate, channels)
    return max(unit, -(-wanted // unit) * unit)
