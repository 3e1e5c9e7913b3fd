import asyncio
import json
import os
import signal
import struct
import subprocess
import time

import pytest

import audiotap
from helpers import FAKE, SIM, frequency, gone, needs_sim, run, sim_options

TAP = "AudioHardwareCreateProcessTap failed \u2014 this usually means audio-capture permission has not been granted to the host app."
READY = {
    "type": "ready",
    "tapFormat": {"sampleRate": 48000, "channels": 1},
    "outputFormat": {"sampleRate": 16000, "channels": 1, "bits": 16},
    "outputDeviceUID": "fake",
    "version": "0.1.0",
}


def fake(plan, **options):
    return audiotap.capture(binary_path=FAKE, env={**os.environ, "FAKE_AUDIOTAP": json.dumps(plan)}, **options)


def line(obj):
    return {"err": json.dumps(obj) + "\n"}


def test_a_real_pipe_realigns_samples_surfaces_odd_lines_and_keeps_early_errors():
    audio = b"".join(struct.pack("<h", i * 97 - 16000) for i in range(320)) + b"\x7f"
    cuts = [0, 1, 4, 7, 99, 100, 321, 639, 641]
    outs = [{"out": audio[a:b].hex(), "wait": 15} for a, b in zip(cuts, cuts[1:])]
    steps = [line({"type": "error", "message": "early"}), outs[0], {"err": "not json\n"}, line(READY), *outs[1:4],
             {"err": '{"type":"level","peak":0.25,'}, {"err": '"frames":50}\n{"type":"brand-new","n":1}\n'},
             line({"type": "device", "outputDeviceUID": "usb", "tapFormat": {"sampleRate": 44100, "channels": 1}}),
             *outs[4:], line({"type": "error", "message": "late"})]
    errors, levels, warnings = [], [], []
    cap = fake({"steps": steps}, chunk_ms=5, on_error=lambda e: errors.append(e.message),
               on_level=lambda e: levels.append(e.frames), on_warning=lambda w: warnings.append(w.reason))
    with cap:
        assert cap.ready.output_device_uid == "fake"
        chunks = []
        for chunk in cap:
            chunks.append(chunk)
            if len(chunks) == 4:
                break
        while "late" not in errors:
            time.sleep(0.01)
        result = cap.stop(timeout=10)
        chunks += list(cap)
    assert result == audiotap.StopResult(320, 0, None, "stdin", 0)
    assert [len(c) for c in chunks] == [160] * 4 and b"".join(chunks) == audio[:640]
    assert (errors, levels, warnings) == (["early", "late"], [50], ["malformed-line", "partial-sample"])
    types = [(e.type, type(e).__name__) for e in cap.events]
    assert ("brand-new", "Event") in types and ("device", "DeviceEvent") in types and types[-1] == ("stopped", "StoppedEvent")


@pytest.mark.parametrize(
    "platform, plan, timeout, want",
    [
        ("linux", {"on_stdin_end": "stop"}, 10, ("stdin", 0, None, 1)),
        ("linux", {"on_stdin_end": "ignore", "on_term": "stop"}, 0.2, ("SIGTERM", 0, None, 1)),
        ("linux", {"on_stdin_end": "ignore"}, 0.2, ("SIGKILL", None, signal.SIGKILL, None)),
        # No signal to send on Windows: stdin, then the kill.
        ("win32", {"on_stdin_end": "stop"}, 10, ("stdin", 0, None, 1)),
        ("win32", {"on_stdin_end": "ignore", "on_term": "stop"}, 0.2, ("SIGKILL", None, signal.SIGKILL, None)),
    ],
)
def test_stop_escalates_from_stdin_to_sigterm_to_sigkill_once(platform, plan, timeout, want, monkeypatch):
    monkeypatch.setattr(audiotap._session, "PLATFORM", platform)
    with fake({**plan, "steps": [{"out": "0100"}, line(READY)]}) as cap:
        result = cap.stop(timeout=timeout)
        assert cap.stop(timeout=0) is result
    assert (result.stopped_by, result.exit_code, result.signal, result.frames) == want
    assert gone(cap.pid)


MIC_READY = {**READY, "outputFormat": {**READY["outputFormat"], "channels": 2}, "channels": ["system", "microphone"],
             "inputDeviceUID": "mic"}


@pytest.mark.parametrize(
    "api, ready, options, refused",
    [
        ("blocking", MIC_READY, dict(mic=True), False),
        ("asyncio", MIC_READY, dict(mic=True, echo_cancel=False), False),
        ("blocking", READY, dict(mic=True), True),
        ("asyncio", READY, dict(mic=True), True),
    ],
)
def test_mic_frames_cut_anywhere_come_out_whole_and_split_and_a_binary_without_mic_is_refused(api, ready, options, refused):
    frames = 160
    audio = b"".join(struct.pack("<hh", i * 101 - 8000, -i * 37) for i in range(frames))
    cuts = [0, 1, 3, 6, 7, 322, 401, 639, len(audio)]
    outs = [{"out": audio[a:b].hex()} for a, b in zip(cuts, cuts[1:])]
    level = line({"type": "level", "peak": 0.5, "frames": 80, "peaks": [0.5, 0.25]})
    peaks = []
    cap = audiotap.open if api == "asyncio" else audiotap.capture
    cap = cap(binary_path=FAKE, env={**os.environ, "FAKE_AUDIOTAP": json.dumps({"steps": [outs[0], line(ready), level, *outs[1:]]})},
              chunk_ms=5, on_level=lambda e: peaks.append(e.peaks), on_warning=lambda w: None, **options)

    async def through_asyncio():
        async with cap:
            parts = []
            async for part in cap.iter_channels():
                parts.append(part)
                if len(parts) == 2:
                    break
            await cap.stop(timeout=10)
            return parts + [part async for part in cap.iter_channels()]

    def through_blocking():
        with cap:
            parts = []
            for part in cap.iter_channels():
                parts.append(part)
                if len(parts) == 2:
                    break
            cap.stop(timeout=10)
            return parts + list(cap.iter_channels())

    if refused:
        with pytest.raises(audiotap.StartError) as caught:
            through_blocking() if api == "blocking" else asyncio.run(through_asyncio())
        assert caught.value.message == audiotap.MIC_UNKNOWN
        return
    parts = through_blocking() if api == "blocking" else asyncio.run(through_asyncio())
    assert (cap.ready.channels, cap.ready.input_device_uid, cap.ready.output_format.channels) == (("system", "microphone"), "mic", 2)
    assert [len(p.system) for p in parts] == [160, 160]  # 5 ms of frames at 16 kHz
    assert b"".join(p.system for p in parts) == b"".join(audio[i : i + 2] for i in range(0, len(audio), 4))
    assert b"".join(p.microphone for p in parts) == b"".join(audio[i + 2 : i + 4] for i in range(0, len(audio), 4))
    assert peaks == [(0.5, 0.25)]


def test_a_start_without_an_error_line_or_without_a_process_still_raises():
    cases = [(fake({"steps": [{"exit": 3}]}), "the capture process exited with status 3 before it was ready", 3),
             (audiotap.capture(binary_path="/nonexistent/a"), "could not start /nonexistent/a: No such file or directory", None)]
    for cap, message, exit_code in cases:
        with pytest.raises(audiotap.StartError) as caught:
            cap.start()
        assert (caught.value.message, caught.value.exit_code, caught.value.status) == (message, exit_code, None)


NONE = dict(status=None, code=None, exit_code=1)


@needs_sim
@pytest.mark.parametrize(
    "script, fields",
    [
        ("device=1", dict(message="no default output device", **NONE)),
        ("device.id=0", dict(message="no default output device", **NONE)),
        ("uid='nope'", dict(message="no default output device", **NONE)),
        ("uid.ref=none", dict(message="no default output device", **NONE)),
        ("tap='nope'", dict(message=TAP, status=1852797029, code="nope", exit_code=1)),
        ("tap.id=0", dict(message=TAP, status=0, code="0", exit_code=1)),
        ("aggregate=-50", dict(message="AudioHardwareCreateAggregateDevice failed", status=-50, code="-50")),
        ("tfmt=1", dict(message="could not read the tap's stream format", **NONE)),
        ("media=converter", dict(message="could not build a converter from the tap format to 16 kHz mono PCM16", **NONE)),
        ("ioproc=0x21626a6f", dict(message="AudioDeviceCreateIOProcIDWithBlock failed", status=560097903, code="!bjo")),
        ("ioproc.id=none", dict(message="AudioDeviceCreateIOProcIDWithBlock failed", status=0, code="0")),
        ("start='who?'", dict(message="AudioDeviceStart failed", status=2003332927, code="who?", exit_code=1, signal=None)),
        ("tpa=1", dict(message="bad AUDIOTAP_SIM: tpa=1", exit_code=2)),
    ],
)
def test_every_start_up_failure_raises_start_error_with_its_fields(script, fields):
    async def through_asyncio():
        async with audiotap.open(**sim_options(script)):
            pass

    for api in ("blocking", "asyncio"):
        with pytest.raises(audiotap.StartError) as caught:
            if api == "blocking":
                with audiotap.capture(**sim_options(script)):
                    pass
            else:
                asyncio.run(through_asyncio())
        assert {k: getattr(caught.value, k) for k in fields} == fields, api


@needs_sim
@pytest.mark.parametrize("api", ["blocking", "asyncio"])
@pytest.mark.parametrize(
    "script, options, rate",
    [
        ("pace=fast;count=50", dict(chunk_ms=20), 16000),
        ("pace=fast;count=100;format=44100,2,8,float,interleaved;frames=441", dict(rate=8000, chunk_ms=100), 8000),
    ],
)
def test_the_tone_arrives_whole_in_exact_chunks_and_stdin_stops_it(api, script, options, rate):
    ready, chunks, result = run(api, lambda pcm: len(pcm) >= rate * 0.8, **sim_options(script, **options))
    assert ready.output_format.sample_rate == rate
    assert (result.stopped_by, result.exit_code) == ("stdin", 0)
    pcm = b"".join(chunks)
    assert len(pcm) == result.frames * 2
    assert {len(c) for c in chunks[:-1]} == {options["chunk_ms"] * rate // 500}
    assert abs(frequency(pcm[rate // 5 :], rate) - 1000) < 20


@needs_sim
@pytest.mark.parametrize(
    "script, options, errors, exit_code",
    [
        # Three failed buffers in a row are one run of failures: one error.
        ("convert=error:boom;count=3;pace=fast", dict(seconds=0.5), ["boom"], 0),
        # Only a capture that does not follow the output ends with its device.
        ("lose=3:server gone;pace=fast", dict(follow_output=False), ["server gone"], 1),
    ],
)
def test_run_time_errors_go_on_or_end_the_capture(script, options, errors, exit_code):
    got = []
    with audiotap.capture(**sim_options(script, on_error=lambda e: got.append(e.message), **options)) as cap:
        pcm = b"".join(cap)
        events = list(cap.events)  # to the end: the process has closed both pipes
        result = cap.stop()
    assert (got, result.exit_code, result.stopped_by) == (errors, exit_code, "exited")
    assert events[-1] == audiotap.StoppedEvent(result.frames)
    assert len(pcm) == result.frames * 2


class Boom(Exception):
    pass


@needs_sim
def test_no_child_is_left_behind_after_an_exception_or_a_cancellation():
    pids = []
    with pytest.raises(Boom):
        with audiotap.capture(**sim_options("pace=realtime")) as cap:
            pids.append(cap.pid)
            raise Boom()

    async def cancelled():
        async with audiotap.open(**sim_options("pace=realtime")) as cap:
            pids.append(cap.pid)
            asyncio.current_task().cancel()
            await asyncio.sleep(10)

    with pytest.raises(asyncio.CancelledError):
        asyncio.run(cancelled())
    assert len(pids) == 2 and all(gone(pid) for pid in pids)


@needs_sim
@pytest.mark.parametrize("max_buffered_ms", [500, None])
def test_a_host_that_does_not_read_can_still_stop_and_every_sample_is_delivered_or_counted(max_buffered_ms):
    with audiotap.capture(**sim_options("pace=fast", max_buffered_ms=max_buffered_ms)) as cap:
        # Time for the unread audio to fill the queue and the pipe, and block the process in its write.
        time.sleep(1)
        if max_buffered_ms:
            assert cap.dropped_frames > 0
        result = cap.stop(timeout=10)
        delivered = sum(len(c) for c in cap) // 2
    assert result.stopped_by == "stdin"
    assert delivered + result.dropped_frames == result.frames


@needs_sim
def test_a_process_that_ignores_stdin_gets_sigterm_and_stops_in_order(tmp_path):
    deaf = tmp_path / "deaf-audiotap"
    deaf.write_text(f'#!/bin/sh\nexec "{SIM}" "$@" </dev/zero\n')
    deaf.chmod(0o755)
    with audiotap.capture(**sim_options("pace=fast", binary_path=str(deaf))) as cap:
        result = cap.stop(timeout=0.3)
        pcm = b"".join(cap)
    assert (result.stopped_by, result.exit_code, len(pcm)) == ("SIGTERM", 0, result.frames * 2)


def sim_knows_mic():
    """A simulator older than --mic ignores it and says "ready" with no "channels"."""
    run = subprocess.run([SIM, "--mic", "--no-echo-cancel"], env={**os.environ, "AUDIOTAP_SIM": "count=1"},
                         input=b"", capture_output=True, timeout=20)
    events = [json.loads(line) for line in run.stderr.decode().splitlines() if line.startswith("{")]
    return not any(e.get("type") == "ready" and "channels" not in e for e in events)


@needs_sim
@pytest.mark.parametrize("api", ["blocking", "asyncio"])
def test_mic_the_microphone_comes_beside_the_system_audio_split_apart(api):
    if not sim_knows_mic():
        pytest.skip("this audiotap-sim does not know --mic")
    # 50 buffers of the simulator's 48 kHz: 0.53 s of frames, then silence.
    ready, chunks, result = run(api, lambda pcm: len(pcm) >= 16000 * 4 * 0.5,
                                **sim_options("pace=fast;count=50", mic=True, echo_cancel=False, chunk_ms=20))
    assert (ready.output_format.channels, ready.channels, ready.input_device_uid) == (2, ("system", "microphone"), "SimMicrophone")
    assert {len(c) for c in chunks[:-1]} == {1280}
    parts = [audiotap.split_channels(c) for c in chunks]
    system, microphone = b"".join(p.system for p in parts), b"".join(p.microphone for p in parts)
    assert len(system) == result.frames * 2
    assert abs(frequency(system[1600:14400], 16000) - 1000) < 20 and abs(frequency(microphone[1600:14400], 16000) - 440) < 20
    with pytest.raises(audiotap.StartError) as caught:
        with audiotap.capture(**sim_options("mic=none", mic=True)):
            pass
    assert (caught.value.message, caught.value.exit_code) == ("there is no microphone to capture: the system has no default input device", 1)
