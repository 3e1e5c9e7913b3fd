import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { test } from "node:test";

import { StartError, StartOptions, splitChannels, start } from "../src";
import { frequency, pcmOf, record, startTracked, until } from "./helpers";

const SIM = process.env.AUDIOTAP_SIM_BINARY;
const skip = SIM ? false : "AUDIOTAP_SIM_BINARY is not set: build the audiotap-sim target and point it there";
const sim = (script: string, options: StartOptions = {}) =>
  startTracked({ ...options, binaryPath: SIM, env: { ...process.env, AUDIOTAP_SIM: script } });
const TAP = "AudioHardwareCreateProcessTap failed \u2014 this usually means audio-capture permission has not been granted to the host app.";

test("every start-up failure rejects ready with its message, status, code and exit status", { skip }, async () => {
  const none = { status: undefined, code: undefined, exitCode: 1 };
  const cases: [string, Partial<StartError>][] = [
    ["device=1", { message: "no default output device", ...none }],
    ["device.id=0", { message: "no default output device", ...none }],
    ["uid='nope'", { message: "no default output device", ...none }],
    ["uid.ref=none", { message: "no default output device", ...none }],
    ["tap='nope'", { message: TAP, status: 1852797029, code: "nope", exitCode: 1 }],
    ["tap.id=0", { message: TAP, status: 0, code: "0", exitCode: 1 }],
    ["aggregate=-50", { message: "AudioHardwareCreateAggregateDevice failed", status: -50, code: "-50" }],
    ["tfmt=1", { message: "could not read the tap's stream format", ...none }],
    ["media=converter", { message: "could not build a converter from the tap format to 16 kHz mono PCM16", ...none }],
    ["ioproc=0x21626a6f", { message: "AudioDeviceCreateIOProcIDWithBlock failed", status: 560097903, code: "!bjo" }],
    ["ioproc.id=none", { message: "AudioDeviceCreateIOProcIDWithBlock failed", status: 0, code: "0" }],
    ["start='who?'", { message: "AudioDeviceStart failed", status: 2003332927, code: "who?", exitCode: 1 }],
    ["tpa=1", { message: "bad AUDIOTAP_SIM: tpa=1", exitCode: 2 }],
  ];
  for (const [script, fields] of cases) {
    const capture = sim(script);
    const stopped: number[] = [];
    capture.on("stopped", (e) => stopped.push(e.frames));
    const err = await capture.ready.then(() => assert.fail(`${script}: ready`), (e: StartError) => e);
    assert.ok(err instanceof StartError);
    const got = Object.fromEntries(Object.keys(fields).map((k) => [k, err[k as keyof StartError]]));
    assert.deepEqual(got, fields, script);
    assert.deepEqual(stopped, script.startsWith("start=") ? [0] : [], script);
  }
});

test("the tone arrives whole, at the asked rate and chunk size; stdin close stops it", { skip }, async () => {
  const cases: [string, StartOptions, number][] = [
    ["pace=fast;count=50", { chunkMs: 20 }, 16000],
    ["pace=fast;count=100;format=44100,2,8,float,interleaved;frames=441", { rate: 8000, chunkMs: 100 }, 8000],
  ];
  for (const [script, options, rate] of cases) {
    const capture = sim(script, options);
    const rec = record(capture);
    const ready = await capture.ready;
    assert.equal(ready.outputFormat.sampleRate, rate, script);
    await until("audio", () => pcmOf(rec).length >= rate * 0.9);
    const result = await capture.stop({ timeoutMs: 10000 });
    assert.equal(result.stoppedBy, "stdin", script);
    assert.equal(result.exitCode, 0, script);
    const pcm = pcmOf(rec);
    assert.equal(pcm.length, (result.frames as number) * 2, script);
    const chunk = ((options.chunkMs as number) * rate) / 500;
    assert.ok(rec.chunks.slice(0, -1).every((c) => c.length === chunk), script);
    const hz = frequency(pcm.subarray(rate / 5), rate);
    assert.ok(Math.abs(hz - 1000) < 20, `${script}: ${hz} Hz`);
  }
});

test("run-time errors: conversion failures go on; a lost device ends the capture", { skip }, async () => {
  // Three failed buffers in a row are one run of failures: one error.
  const cases: [string, StartOptions, string[], number][] = [
    ["convert=error:boom;count=3;pace=fast", { seconds: 0.5 }, ["boom"], 0],
    ["lose=3:server gone;pace=fast", { followOutput: false }, ["server gone"], 1],
  ];
  for (const [script, options, errors, exitCode] of cases) {
    const capture = sim(script, options);
    const rec = record(capture);
    await capture.ready;
    assert.deepEqual(await capture.exited, { exitCode, signal: null }, script);
    assert.deepEqual(rec.errors, errors, script);
    assert.equal(rec.events.at(-1)?.type, "stopped", script);
    assert.equal(pcmOf(rec).length, (rec.events.at(-1)?.frames as number) * 2, script);
  }
});

test("followOutput: a typed \"device\" event per move, on by default; off, nothing moves", { skip }, async () => {
  const script = "pace=fast;switch=5:Phones:24000,1,4,float";
  for (const followOutput of [undefined, false]) {
    const capture = sim(script, { followOutput });
    const rec = record(capture);
    const devices: unknown[] = [];
    capture.on("device", (e) => devices.push(e));
    await capture.ready;
    if (followOutput === undefined) await until("device", () => devices.length === 1);
    else await new Promise((resolve) => setTimeout(resolve, 300));
    const result = await capture.stop({ timeoutMs: 10000 });
    assert.equal(result.exitCode, 0);
    const want = followOutput === undefined ? [{ type: "device", outputDeviceUID: "Phones", tapFormat: { sampleRate: 24000, channels: 1 } }] : [];
    assert.deepEqual(devices, want);
    assert.equal(pcmOf(rec).length, (result.frames as number) * 2);
  }
});

test("a host that does not read: stop still works, and every sample is delivered or counted", { skip }, async () => {
  const cases: [StartOptions, (c: ReturnType<typeof start>) => boolean][] = [
    [{ maxBufferedMs: 500 }, (c) => c.droppedFrames > 0],
    [{}, (c) => c.pcm.queuedBytes > 0],
  ];
  for (const [options, stalled] of cases) {
    const capture = sim("pace=fast", options);
    const stopped = new Promise<number>((resolve) => capture.on("stopped", (e) => resolve(e.frames)));
    await capture.ready;
    await until("unread audio", () => stalled(capture));
    // Time for the unread audio to fill the pipe and block the process in its write.
    await new Promise((resolve) => setTimeout(resolve, 500));
    const result = await capture.stop({ timeoutMs: 10000 });
    let delivered = 0;
    for await (const chunk of capture.pcm) delivered += chunk.length / 2;
    assert.equal(result.stoppedBy, "stdin");
    assert.equal(delivered + result.droppedFrames, await stopped, JSON.stringify(options));
  }
});

test("include and exclude reach the process and come back in ready; excludeSelf names this process", { skip }, async () => {
  const script = "pace=fast;count=20;procs=100:1:1000,200:1:3000";
  const capture = sim(script, { include: [100], exclude: [200] });
  const ready = await capture.ready;
  assert.deepEqual([ready.include, ready.exclude], [[100], [200]]);
  await capture.stop({ timeoutMs: 10000 });
  // The simulated table has no such process: refused, as an unknown PID is.
  const self = sim(script, { excludeSelf: true });
  const err = await self.ready.then(() => assert.fail("ready"), (e: StartError) => e);
  assert.equal(err.message, `invalid --exclude-pid value "${process.pid}": no such process`);
  assert.equal(err.exitCode, 1);
});

// A simulator older than --mic ignores it and says "ready" with no "channels".
function knowsMic(binary: string): boolean {
  const run = spawnSync(binary, ["--mic", "--no-echo-cancel"], { env: { ...process.env, AUDIOTAP_SIM: "count=1" }, input: "", timeout: 20000 });
  const events = String(run.stderr).split("\n").filter((l) => l.startsWith("{")).map((l) => JSON.parse(l));
  return !events.some((e) => e.type === "ready" && e.channels === undefined);
}
const micSkip = skip || (knowsMic(SIM as string) ? false : "this audiotap-sim does not know --mic");

test("mic: the microphone comes beside the system audio, split apart; no microphone rejects ready", { skip: micSkip }, async () => {
  const capture = sim("pace=fast;count=50", { mic: true, echoCancel: false, chunkMs: 20 });
  const rec = record(capture);
  const ready = await capture.ready;
  assert.deepEqual([ready.outputFormat.channels, ready.channels, ready.inputDeviceUID], [2, ["system", "microphone"], "SimMicrophone"]);
  // 50 buffers of the simulator's 48 kHz: 0.53 s of frames, then silence.
  await until("audio", () => pcmOf(rec).length >= 16000 * 4 * 0.5);
  const result = await capture.stop({ timeoutMs: 10000 });
  assert.ok(rec.chunks.slice(0, -1).every((c) => c.length === 1280), "20 ms of two-channel frames");
  const parts = rec.chunks.map(splitChannels);
  const system = Buffer.concat(parts.map((p) => p.system));
  const microphone = Buffer.concat(parts.map((p) => p.microphone));
  assert.equal(system.length, (result.frames as number) * 2);
  for (const [pcm, want] of [[system, 1000], [microphone, 440]] as const) {
    const hz = frequency(pcm.subarray(1600, 14400), 16000);
    assert.ok(Math.abs(hz - want) < 20, `${want}: ${hz} Hz`);
  }
  const none = sim("mic=none", { mic: true });
  const err = await none.ready.then(() => assert.fail("ready"), (e: StartError) => e);
  assert.deepEqual([err.message, err.exitCode], ["there is no microphone to capture: the system has no default input device", 1]);
});
