import asyncio
import math
import struct
import subprocess

import pytest

import audiotap
from helpers import BIN, frequency, needs_server, samples

pytestmark = needs_server
TONE_S = 1.5


def play_tone(hz=1000, rate=48000):
    tone = b"".join(struct.pack("<h", round(12000 * math.sin(2 * math.pi * hz * i / rate))) for i in range(int(rate * TONE_S)))
    subprocess.run(["pacat", "--playback", "--raw", "--format=s16le", f"--rate={rate}", "--channels=1"], input=tone, check=True)


def loud_span(pcm):
    loud = [i for i, s in enumerate(samples(pcm)) if abs(s) > 3000]
    return (loud[0], loud[-1]) if loud else None


def heard_the_tone(pcm, rate):
    """The tone and 0.3 s after it, on the capture's own clock."""
    span = loud_span(pcm)
    return span is not None and len(pcm) // 2 - span[0] >= (TONE_S + 0.3) * rate


def check(pcm, result, rate):
    assert result.exit_code == 0 and len(pcm) == result.frames * 2
    first, last = loud_span(pcm)
    assert abs((last - first) / rate - TONE_S) < 0.15
    assert abs(frequency(pcm[first * 2 : last * 2], rate) - 1000) < 20


async def through_asyncio(rate):
    async with audiotap.open(rate, chunk_ms=20, binary_path=BIN) as cap:
        player = asyncio.get_running_loop().run_in_executor(None, play_tone)
        pcm = b""
        async for chunk in cap:
            pcm += chunk
            if heard_the_tone(pcm, rate):
                break
        await player
        result = await cap.stop(timeout=10)
        pcm += b"".join([c async for c in cap])
        return pcm, result, cap.ready


@pytest.mark.parametrize("api, rate", [("blocking", 16000), ("asyncio", 24000)])
def test_a_played_tone_arrives_at_the_asked_rate_and_frequency(api, rate):
    if api == "asyncio":
        pcm, result, ready = asyncio.run(through_asyncio(rate))
    else:
        with audiotap.capture(rate, chunk_ms=20, binary_path=BIN) as cap:
            play_tone()
            pcm = b""
            for chunk in cap:
                pcm += chunk
                if heard_the_tone(pcm, rate):
                    break
            result = cap.stop(timeout=10)
            pcm += b"".join(cap)
            ready = cap.ready
    assert ready.output_format.sample_rate == rate
    check(pcm, result, rate)
