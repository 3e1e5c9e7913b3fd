import importlib.util
import os
import re
import shutil
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
CLIP = "the new york times reported on tuesday. people are going to work."

missing = [what for what, there in [
    ("AUDIOTAP_BINARY", os.environ.get("AUDIOTAP_BINARY")),
    ("a sound server (PULSE_SERVER)", os.environ.get("PULSE_SERVER") or os.environ.get("PULSE_RUNTIME_PATH")),
    ("python3-pocketsphinx", importlib.util.find_spec("pocketsphinx")),
    ("espeak-ng", shutil.which("espeak-ng")),
    ("paplay", shutil.which("paplay")),
] if not there]


def in_order(want, got):
    """How many of the wanted words come out, in order (longest common subsequence)."""
    row = [0] * (len(got) + 1)
    for w in want:
        prev = row[:]
        for j, g in enumerate(got):
            row[j + 1] = prev[j] + 1 if w == g else max(prev[j + 1], row[j])
    return row[-1]


@pytest.mark.parametrize("want, got, n", [("a b c d", "a x c b d", 3), ("a b", "b a", 1), ("a", "", 0)])
def test_words_in_order(want, got, n):
    assert in_order(want.split(), got.split()) == n


@pytest.mark.skipif(bool(missing), reason=f"needs {', '.join(missing)}")
def test_a_spoken_clip_comes_out_as_captions_in_order():
    run = subprocess.run([sys.executable, os.path.join(HERE, "captions.py"), "--say", CLIP, "--seconds", "60"],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    lines = [re.fullmatch(r"\[ *(\d+\.\d\d) s\] (.+)", line) for line in run.stdout.splitlines()]
    assert lines and all(lines), run.stdout
    stamps = [float(m[1]) for m in lines]
    assert stamps == sorted(stamps) and stamps[-1] < 30, run.stdout
    want = re.sub(r"[^a-z ]", "", CLIP).split()
    heard = " ".join(m[2] for m in lines).split()
    assert in_order(want, heard) >= len(want) / 2, run.stdout
