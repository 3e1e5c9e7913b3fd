"""Shared by the suites: the binaries the environment names, and signal checks."""

import os
import struct
import threading

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
FAKE = os.path.join(HERE, "fake_audiotap.py")
SIM = os.environ.get("AUDIOTAP_SIM_BINARY")
BIN = os.environ.get("AUDIOTAP_BINARY")

needs_sim = pytest.mark.skipif(not SIM, reason="AUDIOTAP_SIM_BINARY is not set: build the audiotap-sim target and point it there")
needs_server = pytest.mark.skipif(
    not BIN or not (os.environ.get("PULSE_SERVER") or os.environ.get("PULSE_RUNTIME_PATH")),
    reason='needs AUDIOTAP_BINARY (the Linux build) and a sound server: eval "$(scripts/pulse-server start DIR)" first',
)


def sim_options(script, **options):
    return {"binary_path": SIM, "env": {**os.environ, "AUDIOTAP_SIM": script}, **options}


def samples(pcm):
    return struct.unpack(f"<{len(pcm) // 2}h", pcm)


def frequency(pcm, rate):
    """Frequency from rising zero crossings."""
    s = samples(pcm)
    crossings = sum(1 for a, b in zip(s, s[1:]) if a < 0 <= b)
    return crossings * rate / len(s)


def gone(pid):
    """True once the process is gone and reaped: no zombie either."""
    return not os.path.exists(f"/proc/{pid}")


def run(api, until, on_ready=None, **options):
    """Captures through the blocking or the asyncio API until ``until(pcm)``,
    stops, and reads the rest: (ready, chunks, stop result)."""
    import asyncio

    import audiotap

    def enough(chunks):
        return until(b"".join(chunks))

    if api == "blocking":
        with audiotap.capture(**options) as cap:
            # Beside the reading, as in the asyncio case: unread audio would stall the capture.
            waiting = threading.Thread(target=on_ready or (lambda: None))
            waiting.start()
            chunks = []
            for chunk in cap:
                chunks.append(chunk)
                if enough(chunks):
                    break
            waiting.join()
            result = cap.stop(timeout=10)
            return cap.ready, chunks + list(cap), result

    async def through_asyncio():
        async with audiotap.open(**options) as cap:
            waiting = asyncio.get_running_loop().run_in_executor(None, on_ready or (lambda: None))
            chunks = []
            async for chunk in cap:
                chunks.append(chunk)
                if enough(chunks):
                    break
            await waiting
            result = await cap.stop(timeout=10)
            return cap.ready, chunks + [c async for c in cap], result

    return asyncio.run(through_asyncio())
