import os

import pytest

from audiotap import DeviceEvent, ErrorEvent, Event, LevelEvent, ReadyEvent, build_args, resolve_binary, split_channels
from audiotap.events import LineSplitter, parse_line
from audiotap.pcm import Aligner, ChunkQueue, queue_limit

READY = '"tapFormat":{"sampleRate":48000,"channels":2},"outputFormat":{"sampleRate":16000,"channels":1,"bits":16},"outputDeviceUID":"d","version":"0.1.0"'
MIC = READY.replace('"channels":1', '"channels":2') + ',"channels":["system","microphone"],"inputDeviceUID":"BuiltInMicrophoneDevice"'


@pytest.mark.parametrize(
    "line, kind, detail",
    [
        ('{"type":"error","message":"m","status":1852797029,"code":"nope"}\r', ErrorEvent, None),
        ('{"type":"ready",' + READY + ',"include":[12,13]}', ReadyEvent, None),
        ('{"type":"device","outputDeviceUID":"usb","tapFormat":{"sampleRate":44100,"channels":1}}', DeviceEvent, None),
        ('{"type":"hello","x":1}', Event, None),
        ("   ", None, None),
        ("{not json", None, "malformed-line"),
        ("[1,2]", None, "malformed-line"),
        ('{"type":7}', None, "malformed-line"),
        ("[" * 100000, None, "malformed-line"),
        ('{"type":"level","peak":"loud","frames":1}', Event, '"peak"'),
        ('{"type":"level","peak":NaN,"frames":1}', Event, '"peak"'),
        ('{"type":"stopped","frames":1.5}', Event, '"frames"'),
        ('{"type":"ready",' + READY + ',"exclude":[1,"x"]}', Event, '"exclude"'),
        ('{"type":"ready",' + READY.replace(',"version":"0.1.0"', "") + "}", Event, '"version"'),
        ('{"type":"device","outputDeviceUID":"usb","tapFormat":{"channels":1}}', Event, '"tapFormat"'),
        ('{"type":"device","outputDeviceUID":"usb","tapFormat":{"sampleRate":44100,"channels":1},"inputDeviceUID":"h"}',
         DeviceEvent, None),
        ('{"type":"device","outputDeviceUID":"usb","tapFormat":{"sampleRate":44100,"channels":1},"inputDeviceUID":1}',
         Event, '"inputDeviceUID"'),
        ('{"type":"ready",' + MIC + "}", ReadyEvent, None),
        ('{"type":"ready",' + MIC.replace('["system","microphone"]', '"system"') + "}", Event, '"channels"'),
        ('{"type":"ready",' + MIC.replace('"microphone"', "2") + "}", Event, '"channels"'),
        ('{"type":"ready",' + MIC.replace('"BuiltInMicrophoneDevice"', "7") + "}", Event, '"inputDeviceUID"'),
        ('{"type":"level","peak":0.5,"frames":1,"peaks":[0.5,0]}', LevelEvent, None),
        ('{"type":"level","peak":0.5,"frames":1,"peaks":[0.5,"0.25"]}', Event, '"peaks"'),
        ('{"type":"level","peak":0.5,"frames":1,"peaks":0.5}', Event, '"peaks"'),
    ],
)
def test_event_lines(line, kind, detail):
    event, warning = parse_line(line)
    assert type(event) is kind if kind else event is None
    assert (warning is None) == (detail is None)
    if detail:
        assert detail in str(warning)


def test_line_splitting_keeps_multibyte_characters_and_drops_overlong_lines():
    text = '{"message":"failed \u2014 permission"}\n{"b":3}\n{"partial"'.encode()
    dash = text.index("\u2014".encode())
    for cuts in ([dash + 1], [dash + 2, dash + 3], [1, 2, 3, len(text) - 1]):
        splitter, lines, start = LineSplitter(), [], 0
        for at in cuts + [len(text)]:
            lines += splitter.push(text[start:at])[0]
            start = at
        assert lines + splitter.end() == text.decode().split("\n"), cuts
    splitter = LineSplitter(max_line=10)
    got = [splitter.push(b"x" * 8), splitter.push(b"x" * 8), splitter.push(b"y\nok\n\xff")]
    assert got == [([], 0), ([], 1), (["ok"], 0)]
    assert splitter.end() == ["\ufffd"]


@pytest.mark.parametrize(
    "cuts, chunk_bytes, frame_bytes, sizes, length",
    [
        ([1, 2, 3, 5, 8, 13, 21, 34, 199], 0, 2, None, 200),
        ([1, 41, 99], 20, 2, [20] * 10, 200),
        ([199], 20, 2, [20] * 10, 200),
        ([], 70, 2, [70, 70, 60], 200),
        ([1, 2, 3, 5, 6, 7, 13, 21, 34, 198], 0, 4, None, 200),
        ([3, 41, 99, 101], 40, 4, [40] * 5, 200),
        ([2, 6, 10], 0, 4, None, 203),
    ],
)
def test_split_frames_come_out_whole_and_split_into_their_channels(cuts, chunk_bytes, frame_bytes, sizes, length):
    data = bytes(i % 251 for i in range(length))
    whole = data[: length - length % frame_bytes]
    aligner, out, start = Aligner(chunk_bytes, frame_bytes), [], 0
    for at in cuts + [len(data)]:
        out += aligner.push(data[start:at])
        start = at
    rest, odd = aligner.finish()
    out += [rest] if rest else []
    assert odd == length - len(whole) and all(len(c) % frame_bytes == 0 for c in out)
    assert b"".join(out) == whole
    if sizes:
        assert [len(c) for c in out] == sizes
    if frame_bytes == 4:
        parts = [split_channels(c) for c in out]
        frames = [whole[i : i + 4] for i in range(0, len(whole), 4)]
        assert b"".join(p.system for p in parts) == b"".join(f[:2] for f in frames)
        assert b"".join(p.microphone for p in parts) == b"".join(f[2:] for f in frames)
    with pytest.raises(ValueError):
        split_channels(b"\x00" * 6)
    assert Aligner().push(b"\x01\x02\x03") == [b"\x01\x02"] and Aligner().finish() == (None, 0)


@pytest.mark.parametrize(
    "max_ms, chunk_bytes, channels, kept, dropped",
    # kept: samples; dropped: frames (150 of two channels in the last case).
    [(50, 0, 1, 50, 250), (45, 40, 1, 60, 240), (None, 0, 1, 300, 0), (0.0001, 0, 1, 1, 299), (50, 0, 2, 100, 100)],
)
def test_bounded_queue_drops_the_oldest_and_counts_it(max_ms, chunk_bytes, channels, kept, dropped):
    data = bytes(i % 256 for i in range(600))  # 300 samples at 1000 Hz
    aligner = Aligner(chunk_bytes, 2 * channels)
    queue = ChunkQueue(queue_limit(max_ms, chunk_bytes, 1000, channels), 2 * channels)
    for start, end in ((0, 21), (21, 100), (100, 301), (301, 420), (420, 600)):
        queue.put(aligner.push(data[start:end]))
    out = []
    while (chunk := queue.get()) is not None:
        out.append(chunk)
    assert queue.dropped_frames == dropped
    assert b"".join(out) == data[len(data) - kept * 2 :]


def test_binary_lookup_and_arguments():
    assert resolve_binary("/opt/a", {"AUDIOTAP_BINARY": "/env/a"}, "/p") == "/opt/a"
    assert resolve_binary(None, {"AUDIOTAP_BINARY": "/env/a"}, "/p") == "/env/a"
    assert resolve_binary(None, {"AUDIOTAP_BINARY": ""}, "/p", "darwin", "arm64") == "/p/bin/darwin-arm64/audiotap"
    assert resolve_binary(None, {}, "/p", "linux", "x86_64") == "/p/bin/linux-x64/audiotap"
    assert resolve_binary(None, {}, "/p", "win32", "AMD64") == "/p/bin/win32-x64/audiotap.exe"
    me = str(os.getpid())
    cases = [
        (dict(), ["--rate", "16000", "--follow-output"]),
        (dict(seconds=2.5, follow_output=False, include=[7, 8]), ["--rate", "16000", "--seconds", "2.5", "--include-pid", "7", "--include-pid", "8"]),
        (dict(follow_output=False, exclude=[9], exclude_self=True), ["--rate", "16000", "--exclude-pid", "9", "--exclude-pid", me]),
        (dict(follow_output=False, seconds=float("inf"), exclude=[int(me)], exclude_self=True), ["--rate", "16000", "--exclude-pid", me]),
        (dict(follow_output=False, mic=True), ["--rate", "16000", "--mic"]),
        (dict(follow_output=False, mic=True, echo_cancel=True), ["--rate", "16000", "--mic"]),
        (dict(mic=True, echo_cancel=False), ["--rate", "16000", "--follow-output", "--mic", "--no-echo-cancel"]),
        (dict(follow_output=False, mic=False, echo_cancel=True), ["--rate", "16000"]),
    ]
    for options, args in cases:
        assert build_args(**options) == args, options
    with pytest.raises(ValueError, match="echo_cancel=False needs mic=True"):
        build_args(echo_cancel=False)
    for bad in (dict(rate=0), dict(rate=float("nan")), dict(rate=True), dict(seconds=-1), dict(include=[0]), dict(exclude=["7"])):
        with pytest.raises(ValueError):
            build_args(**bad)
