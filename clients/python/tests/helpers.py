"""Shared by the suites: the binaries the environment names, and signal checks."""

import os
import struct

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
