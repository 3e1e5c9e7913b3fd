#!/usr/bin/env python3
"""Live captions of what this computer plays: audiotap's PCM into pocketsphinx,
one line per phrase, stamped with its time from the capture's frame count.

    captions.py [--seconds N] [--say TEXT] [--binary PATH]

Where no sound server answers (a fresh headless machine) it starts a private
PulseAudio with this repository's scripts/pulse-server and speaks a known clip
into it with espeak-ng. --say speaks TEXT into the captured output once the
capture is ready, and stops a second after it has been played.

Debian: apt-get install python3-pocketsphinx pocketsphinx-en-us espeak-ng pulseaudio-utils
"""

from __future__ import annotations

import argparse
import html
import os
import shutil
import subprocess
import sys
import tempfile
from typing import Optional

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))

try:
    import audiotap
except ImportError:  # run from the repository, not installed
    sys.path.insert(0, os.path.join(REPO, "clients", "python"))
    import audiotap

RATE = 16000  # what the en-us acoustic model was trained on
CLIP = "the new york times reported on tuesday. people are going to work."
VOICE = "en-us+f2"  # of espeak-ng's voices, the one the en-us model follows best


def make_decoder():
    from pocketsphinx import Decoder, get_model_path

    model = get_model_path()
    config = Decoder.default_config()
    config.set_string("-hmm", os.path.join(model, "en-us"))
    config.set_string("-lm", os.path.join(model, "en-us.lm.bin"))
    config.set_string("-dict", os.path.join(model, "cmudict-en-us.dict"))
    config.set_string("-logfn", os.devnull)
    return Decoder(config)


def server_answers() -> bool:
    return subprocess.run(["pactl", "info"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def start_private_server(directory: str) -> None:
    """scripts/pulse-server start, with its environment taken into this process."""
    out = subprocess.run([os.path.join(REPO, "scripts", "pulse-server"), "start", directory],
                         check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        name, _, value = line.removeprefix("export ").partition("=")
        os.environ[name] = value.strip("'")


def speak(text: str, folder: str) -> subprocess.Popen:
    """Plays the text, with a pause after each sentence long enough to end a phrase."""
    sentences = [html.escape(s.strip()) + "." for s in text.split(".") if s.strip()]
    ssml = "<speak>" + ' <break time="800ms"/> '.join(sentences) + "</speak>"
    wav = os.path.join(folder, "clip.wav")
    subprocess.run(["espeak-ng", "-m", "-v", VOICE, "-s", "150", "-w", wav, ssml], check=True)
    return subprocess.Popen(["paplay", wav])


class Captioner:
    """Feeds the decoder and prints each phrase when the speech in it ends."""

    def __init__(self, decoder, out=sys.stdout) -> None:
        self.decoder = decoder
        self.out = out
        self.frames = 0  # position in the capture, in samples
        self.in_speech = False
        self.phrase_start = 0
        decoder.start_utt()

    def feed(self, chunk: bytes, dropped_before: int = 0) -> None:
        """``dropped_before``: samples dropped unheard since the previous chunk."""
        self.frames += dropped_before
        self.decoder.process_raw(chunk, False, False)
        speaking = self.decoder.get_in_speech()
        if speaking and not self.in_speech:
            self.phrase_start = self.frames
        if self.in_speech and not speaking:
            self.flush()
            self.decoder.start_utt()
        self.in_speech = speaking
        self.frames += len(chunk) // 2

    def flush(self) -> None:
        self.decoder.end_utt()
        hyp = self.decoder.hyp()
        if hyp is not None and hyp.hypstr.strip():
            print(f"[{self.phrase_start / RATE:7.2f} s] {hyp.hypstr}", file=self.out, flush=True)


def main(argv: Optional[list] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, help="stop after this long (default: until Ctrl+C, or after --say)")
    parser.add_argument("--say", help="speak this text into the captured output with espeak-ng")
    parser.add_argument("--binary", help="the audiotap binary (default: AUDIOTAP_BINARY, then the package's bin/)")
    args = parser.parse_args(argv)
    try:
        import pocketsphinx  # noqa: F401
    except ImportError:
        sys.exit("captions: needs pocketsphinx (apt-get install python3-pocketsphinx pocketsphinx-en-us)")
    for tool in ("pactl", "paplay", "espeak-ng"):
        if not shutil.which(tool):
            sys.exit(f"captions: needs {tool} (apt-get install pulseaudio-utils espeak-ng)")
    binary = args.binary or os.environ.get("AUDIOTAP_BINARY") or _built_binary()

    with tempfile.TemporaryDirectory(prefix="captions-") as tmp:
        private = None
        if not server_answers():
            private = os.path.join(tmp, "pulse")
            print(f"no sound server answers: starting a private PulseAudio in {private}", file=sys.stderr)
            start_private_server(private)
            args.say = args.say or CLIP
        try:
            return caption(binary, args, tmp)
        except audiotap.StartError as e:
            print(f"captions: audiotap did not start: {e.message}", file=sys.stderr)
            return 1
        except KeyboardInterrupt:
            return 0
        finally:
            if private:
                subprocess.run([os.path.join(REPO, "scripts", "pulse-server"), "stop", private], check=False)


def caption(binary: Optional[str], args, tmp: str) -> int:
    captioner = Captioner(make_decoder())
    written = [0]  # samples the capture has written, as its "level" events count them
    # The pipe is always drained, so a recogniser that falls behind under load
    # never stalls the capture; it catches up, or past 30 s drops the oldest.
    with audiotap.capture(RATE, seconds=args.seconds, chunk_ms=100, binary_path=binary, max_buffered_ms=30000,
                          on_level=lambda e: written.__setitem__(0, e.frames),
                          on_error=lambda e: print(f"audiotap: {e.message}", file=sys.stderr)) as cap:
        player, end_at, dropped = None, None, 0
        for chunk in cap:
            captioner.feed(chunk, cap.dropped_frames - dropped)
            dropped = cap.dropped_frames
            # A second of the room before the speech: the recogniser adapts to it.
            if args.say and player is None and captioner.frames >= RATE:
                player = speak(args.say, tmp)
            if player is not None and end_at is None and player.poll() is not None:
                # The clip has been played; what we have read may lag behind
                # it, and "level" can be a second old.
                end_at = max(captioner.frames, written[0]) + 2 * RATE
            if end_at is not None and captioner.frames >= end_at:
                break
        captioner.flush()
        if player is not None:
            player.wait()
    return 0


def _built_binary() -> Optional[str]:
    """This repository's build, if there is one (scripts/demo builds into build/)."""
    for build in ("build", "build/plain", "build/test-plain"):
        path = os.path.join(REPO, build, "src", "platform", "linux", "audiotap")
        if os.access(path, os.X_OK):
            return path
    return None if shutil.which("audiotap") is None else shutil.which("audiotap")


if __name__ == "__main__":
    sys.exit(main())
