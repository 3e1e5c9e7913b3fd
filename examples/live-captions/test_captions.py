import importlib.util
import io
import json
import os
import re
import shutil
import struct
import subprocess
import sys
from types import SimpleNamespace

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import captions  # noqa: E402

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


class Decoder:
    """Hears speech in any chunk that is not silence, and says how many samples of it it heard."""

    def __init__(self):
        self.heard = 0
        self.loud = False

    def start_utt(self):
        self.heard = 0

    def process_raw(self, chunk, *_):
        self.loud = any(struct.unpack(f"<{len(chunk) // 2}h", chunk))
        self.heard += len(chunk) // 2 if self.loud else 0

    def get_in_speech(self):
        return self.loud

    def end_utt(self):
        pass

    def hyp(self):
        return SimpleNamespace(hypstr=f"{self.heard} samples") if self.heard else None


def frames(*channels):
    """A chunk of 1600 frames (0.1 s) per entry, each channel's level in it (1: -30 dBFS, 0.01: -70 dBFS)."""
    return [b"".join(struct.pack("<" + "h" * len(c), *(round(1000 * x) for x in c)) for _ in range(1600)) for c in channels]


@pytest.mark.parametrize(
    "labels, chunks, lines",
    [
        ([None], frames((1,), (0.01,), (0,)), ["[   0.00 s] 3200 samples"]),
        # Each side's speech reaches its own captioner only, stamped on the capture's one clock.
        (["them", "me"], frames((1, 0), (1, 0), (0, 1), (0, 1), (0, 1), (0, 0)),
         ["[them] [   0.00 s] 3200 samples", "[me] [   0.20 s] 4800 samples"]),
        (["them", "me"], frames((0, 1), (1, 1), (0, 0)), ["[me] [   0.00 s] 3200 samples", "[them] [   0.10 s] 1600 samples"]),
        # What the canceller leaves of the far end is silence to the microphone's recogniser, not a quiet talker.
        (["them", "me"], frames((1, 0.01), (1, 0.01), (0, 1), (0, 0)),
         ["[them] [   0.00 s] 3200 samples", "[me] [   0.20 s] 1600 samples"]),
    ],
)
def test_each_channel_is_captioned_under_its_own_label(labels, chunks, lines):
    out = io.StringIO()
    captioners = [captions.Captioner(Decoder(), out, label, -45 if label == "me" else None) for label in labels]
    for chunk in chunks:
        captions.feed_all(captioners, chunk)
    assert sorted(out.getvalue().splitlines()) == sorted(lines)


def knows_mic(binary):
    """Whether the binary takes --mic: one that does not says "ready" with no "channels"."""
    run = subprocess.run([binary, "--mic", "--no-echo-cancel", "--seconds", "0.2"], stdin=subprocess.PIPE,
                         capture_output=True, timeout=30)
    events = [json.loads(line) for line in run.stderr.decode().splitlines() if line.startswith("{")]
    return not any(e.get("type") == "ready" and "channels" not in e for e in events)


def heard_enough(args, pattern, clips):
    """Runs captions.py with args until each clip's words come out under their label, at most three times.

    What the recogniser gets of the same audio changes from run to run with where the speech falls
    in its frames (the captured audio itself matches what was played within a fraction of a dB), so
    a run that misses the bar is run again; a broken line, an exit status or a clip's words under the
    wrong label in every run still fail. Returns the passing run's lines."""
    runs = []
    for _ in range(3):
        run = subprocess.run([sys.executable, os.path.join(HERE, "captions.py"), *args], capture_output=True,
                             text=True, timeout=150)
        assert run.returncode == 0, run.stderr
        lines = [re.fullmatch(pattern, line) for line in run.stdout.splitlines()]
        assert lines and all(lines), run.stdout
        runs.append(run.stdout)
        wanted = [(who, re.sub(r"[^a-z ]", "", text).split()) for who, text in clips]
        if all(in_order(want, " ".join(m["text"] for m in lines if m["who"] == who).split()) >= len(want) / 2
               for who, want in wanted):
            return lines
    pytest.fail("under half of a clip's words came out under its label, three runs in a row:\n" + "\n".join(runs))


@pytest.mark.skipif(bool(missing), reason=f"needs {', '.join(missing)}")
def test_a_spoken_clip_comes_out_as_captions_in_order():
    lines = heard_enough(["--say", CLIP, "--seconds", "60"], r"(?P<who>)\[ *(?P<at>\d+\.\d\d) s\] (?P<text>.+)",
                         [("", CLIP)])
    stamps = [float(m["at"]) for m in lines]
    assert stamps == sorted(stamps) and stamps[-1] < 30, lines


@pytest.mark.skipif(bool(missing), reason=f"needs {', '.join(missing)}")
def test_me_and_them_are_captioned_apart_each_line_labelled():
    if not knows_mic(os.environ["AUDIOTAP_BINARY"]):
        pytest.skip("AUDIOTAP_BINARY does not know --mic")
    heard_enough(["--me-them", "--room", "--say", CLIP, "--say-me", captions.CLIP_ME, "--seconds", "90"],
                 r"\[(?P<who>me|them)\] \[ *(?P<at>\d+\.\d\d) s\] (?P<text>.+)",
                 [("them", CLIP), ("me", captions.CLIP_ME)])
