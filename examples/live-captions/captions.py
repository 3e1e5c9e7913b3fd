#!/usr/bin/env python3
"""Live captions of what this computer plays: audiotap's PCM into pocketsphinx,
one line per phrase, stamped with its time from the capture's frame count.

    captions.py [--seconds N] [--say TEXT] [--binary PATH]
    captions.py --me-them [--room] [--say TEXT] [--say-me TEXT] [--no-echo-cancel] ...

Where no sound server answers (a fresh headless machine) it starts a private
PulseAudio with this repository's scripts/pulse-server and speaks a known clip
into it with espeak-ng. --say speaks TEXT into the captured output once the
capture is ready, and stops a second after it has been played.

--me-them captures the microphone too (audiotap --mic) and captions both sides
apart, each line labelled: "[them]" what the computer plays, "[me]" the
microphone, with the speakers' echo removed from it. --room builds a virtual
room on the sound server for the run (a sink "air" heard by a microphone
source "mic", which also hears the speakers at -6 dB, 60 ms late), and
--say-me speaks TEXT into it after --say's clip; a private server gets the room
by itself.

Debian: apt-get install python3-pocketsphinx pocketsphinx-en-us espeak-ng pulseaudio-utils
"""

from __future__ import annotations

import argparse
import html
import math
import os
import shutil
import signal
import subprocess
import sys
import tempfile
from array import array
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
CLIP_ME = "i think the price of oil will go up this year. thank you very much."
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


def speak(text: str, folder: str, device: Optional[str] = None) -> subprocess.Popen:
    """Plays the text, with a pause after each sentence long enough to end a phrase."""
    sentences = [html.escape(s.strip()) + "." for s in text.split(".") if s.strip()]
    ssml = "<speak>" + ' <break time="800ms"/> '.join(sentences) + "</speak>"
    wav = os.path.join(folder, f"clip-{device or 'output'}.wav")
    subprocess.run(["espeak-ng", "-m", "-v", VOICE, "-s", "150", "-w", wav, ssml], check=True)
    return subprocess.Popen(["paplay", *([f"--device={device}"] if device else []), wav])


class Captioner:
    """Feeds the decoder and prints each phrase when the speech in it ends."""

    def __init__(self, decoder, out=sys.stdout, label: Optional[str] = None, floor_dbfs: Optional[float] = None) -> None:
        self.decoder = decoder
        self.out = out
        self.prefix = "" if label is None else f"[{label}] "
        # Chunks quieter than this reach the decoder as silence.
        self.floor = None if floor_dbfs is None else 32768 * 10 ** (floor_dbfs / 20)
        self.frames = 0  # position in the capture, in samples
        self.in_speech = False
        self.phrase_start = 0
        decoder.start_utt()

    def feed(self, chunk: bytes, dropped_before: int = 0) -> None:
        """``dropped_before``: samples dropped unheard since the previous chunk."""
        self.frames += dropped_before
        if self.floor is not None:
            samples = array("h", chunk)
            if sys.byteorder == "big":
                samples.byteswap()
            if math.sqrt(sum(v * v for v in samples) / max(1, len(samples))) < self.floor:
                chunk = bytes(len(chunk))
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
            print(f"{self.prefix}[{self.phrase_start / RATE:7.2f} s] {hyp.hypstr}", file=self.out, flush=True)


def feed_all(captioners, chunk: bytes, dropped_before: int = 0) -> None:
    """One captioner: the chunk as it is; two (them, me): its system and microphone channels."""
    parts = [chunk] if len(captioners) == 1 else audiotap.split_channels(chunk)
    for captioner, part in zip(captioners, parts):
        captioner.feed(part, dropped_before)


class Room:
    """A virtual room on the sound server: the near end is played to the sink
    "air", which the source "mic" (made the default input) hears, and so does
    an acoustic path from the speakers (the default sink), 60 ms late at -6 dB."""

    def __init__(self) -> None:
        self.modules = []
        self.old_source = None

    def build(self) -> None:
        speakers = _pactl("get-default-sink")
        self.old_source = _pactl("get-default-source")
        self.modules.append(_pactl("load-module", "module-null-sink", "sink_name=air", "rate=16000", "channels=1"))
        loop = _pactl("load-module", "module-loopback", f"source={speakers}.monitor", "sink=air", "latency_msec=60",
                      "source_dont_move=true", "sink_dont_move=true")
        self.modules.append(loop)
        for row in _pactl("list", "short", "sink-inputs").splitlines():
            fields = row.split("\t")
            if len(fields) > 2 and fields[2] == loop:
                _pactl("set-sink-input-volume", fields[0], "-6dB")
        self.modules.append(_pactl("load-module", "module-remap-source", "master=air.monitor", "source_name=mic"))
        _pactl("set-default-source", "mic")

    def remove(self) -> None:
        for module in reversed(self.modules):
            subprocess.run(["pactl", "unload-module", module], check=False)
        self.modules.clear()
        if self.old_source:
            subprocess.run(["pactl", "set-default-source", self.old_source], check=False, stderr=subprocess.DEVNULL)


def _pactl(*args: str) -> str:
    return subprocess.run(["pactl", *args], check=True, capture_output=True, text=True).stdout.strip()


def main(argv: Optional[list] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, help="stop after this long (default: until Ctrl+C, or after --say)")
    parser.add_argument("--say", help="speak this text into the captured output with espeak-ng")
    parser.add_argument("--binary", help="the audiotap binary (default: AUDIOTAP_BINARY, then the package's bin/)")
    parser.add_argument("--me-them", action="store_true", help='caption the microphone ("[me]") and what plays ("[them]") apart')
    parser.add_argument("--no-echo-cancel", action="store_true", help="with --me-them: the microphone as it is (headsets)")
    parser.add_argument("--room", action="store_true", help="with --me-them: a virtual room on the sound server for this run")
    parser.add_argument("--say-me", help="with --room: speak this text into the room's microphone after --say's clip")
    args = parser.parse_args(argv)
    if (args.room or args.no_echo_cancel) and not args.me_them:
        parser.error("--room and --no-echo-cancel go with --me-them")
    if args.say_me and not args.room:
        parser.error("--say-me needs --room: only the virtual room's microphone can be spoken into")
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
            args.room = args.me_them
            if args.me_them:
                args.say_me = args.say_me or CLIP_ME
        room = Room()
        try:
            if args.room:
                # The room must not outlive the run on the user's server: SIGTERM unwinds as Ctrl+C does.
                signal.signal(signal.SIGTERM, signal.default_int_handler)
                room.build()
            return caption(binary, args, tmp)
        except audiotap.StartError as e:
            print(f"captions: audiotap did not start: {e.message}", file=sys.stderr)
            return 1
        except KeyboardInterrupt:
            return 0
        finally:
            room.remove()
            if private:
                subprocess.run([os.path.join(REPO, "scripts", "pulse-server"), "stop", private], check=False)


def caption(binary: Optional[str], args, tmp: str) -> int:
    if args.me_them:
        # The canceller leaves the far end 40 dB and more down in the microphone's
        # channel; heard as a quiet talker, it would skew the decoder's running
        # normalisation, and the words said next come out wrong.
        captioners = [Captioner(make_decoder(), label="them"), Captioner(make_decoder(), label="me", floor_dbfs=-45)]
    else:
        captioners = [Captioner(make_decoder())]
    clock = captioners[0]
    # The clips, in turn: what plays, then (in the room) the near end.
    clips = [(text, device) for text, device in [(args.say, None), (args.say_me, "air")] if text]
    written = [0]  # frames the capture has written, as its "level" events count them
    # The pipe is always drained, so a recogniser that falls behind under load
    # never stalls the capture; it catches up, or past 30 s drops the oldest.
    with audiotap.capture(RATE, seconds=args.seconds, chunk_ms=100, binary_path=binary, max_buffered_ms=30000,
                          mic=args.me_them, echo_cancel=not args.no_echo_cancel,
                          on_level=lambda e: written.__setitem__(0, e.frames),
                          on_error=lambda e: print(f"audiotap: {e.message}", file=sys.stderr)) as cap:
        # A second of the room before the speech: the recogniser adapts to it.
        player, next_at, dropped = None, RATE, 0
        for chunk in cap:
            feed_all(captioners, chunk, cap.dropped_frames - dropped)
            dropped = cap.dropped_frames
            if player is not None and next_at is None and player.poll() is not None:
                # The clip has been played; what we have read may lag behind
                # it, and "level" can be a second old. A second's pause ends
                # its phrase before the next clip; two end the capture.
                next_at = max(clock.frames, written[0]) + (RATE if clips else 2 * RATE)
            # The next clip goes by the capture's position, which the reading may lag behind; the end by the reading.
            if next_at is not None and clips and max(clock.frames, written[0]) >= next_at:
                text, device = clips.pop(0)
                player = speak(text, tmp, device)
                next_at = None
            elif next_at is not None and not clips and clock.frames >= next_at:
                if player is not None:
                    break
                next_at = None
        for captioner in captioners:
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
