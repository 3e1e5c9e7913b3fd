import math
import struct
import subprocess

import pytest

from helpers import BIN, frequency, needs_server, run, samples

TONE_S = 1.5


def play_tone(hz=1000, rate=48000):
    tone = b"".join(struct.pack("<h", round(12000 * math.sin(2 * math.pi * hz * i / rate))) for i in range(int(rate * TONE_S)))
    subprocess.run(["pacat", "--playback", "--raw", "--format=s16le", f"--rate={rate}", "--channels=1"], input=tone, check=True)


def loud_span(pcm):
    loud = [i for i, s in enumerate(samples(pcm)) if abs(s) > 3000]
    return (loud[0], loud[-1]) if loud else None


@needs_server
@pytest.mark.parametrize("api, rate", [("blocking", 16000), ("asyncio", 24000)])
def test_a_played_tone_arrives_at_the_asked_rate_and_frequency(api, rate):
    def heard(pcm):  # the tone and 0.3 s after it, on the capture's own clock
        span = loud_span(pcm)
        return span is not None and len(pcm) // 2 - span[0] >= (TONE_S + 0.3) * rate

    ready, chunks, result = run(api, heard, on_ready=play_tone, rate=rate, chunk_ms=20, binary_path=BIN)
    pcm = b"".join(chunks)
    assert ready.output_format.sample_rate == rate
    assert result.exit_code == 0 and len(pcm) == result.frames * 2
    first, last = loud_span(pcm)
    assert abs((last - first) / rate - TONE_S) < 0.15
    assert abs(frequency(pcm[first * 2 : last * 2], rate) - 1000) < 20
