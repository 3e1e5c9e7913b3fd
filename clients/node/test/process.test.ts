import assert from "node:assert/strict";
import { test } from "node:test";

import { MIC_UNKNOWN, StartError, StartOptions, splitChannels, start } from "../src";
import { host } from "../src/binary";
import { FAKE, pcmOf, record, startTracked, until } from "./helpers";

const fake = (plan: object, chunkMs?: number, options: StartOptions = {}) =>
  startTracked({ ...options, binaryPath: FAKE, chunkMs, env: { ...process.env, FAKE_AUDIOTAP: JSON.stringify(plan) } });
const line = (o: object) => ({ err: JSON.stringify(o) + "\n" });
const READY = {
  type: "ready",
  tapFormat: { sampleRate: 48000, channels: 1 },
  outputFormat: { sampleRate: 16000, channels: 1, bits: 16 },
  outputDeviceUID: "fake",
  version: "0.1.0",
};
const pick = (o: object, keys: object) => Object.fromEntries(Object.keys(keys).map((k) => [k, o[k as keyof object]]));

test("a real pipe: split samples re-aligned, odd lines surfaced, early run-time errors kept", async () => {
  const audio = Buffer.alloc(641);
  for (let i = 0; i < 320; i++) audio.writeInt16LE(i * 97 - 16000, i * 2);
  const cuts = [1, 4, 7, 99, 100, 321, 639, 641];
  const steps = cuts.map((at, i) => ({ out: audio.subarray(i ? cuts[i - 1] : 0, at).toString("hex"), wait: 15 }));
  const capture = fake({
    steps: [
      line({ type: "error", message: "early" }),
      steps[0],
      { err: "not json\n" },
      line(READY),
      ...steps.slice(1, 4),
      { err: '{"type":"level","peak":0.25,' },
      { err: '"frames":50}\n{"type":"brand-new","n":1}\n' },
      ...steps.slice(4),
      line({ type: "error", message: "late" }),
    ],
  }, 5);
  const rec = record(capture);
  const levels: number[] = [];
  capture.on("level", (e) => levels.push(e.frames));
  assert.deepEqual(await capture.ready, READY);
  await until("the last line", () => rec.errors.includes("late"));
  const result = await capture.stop({ timeoutMs: 10000 });
  assert.deepEqual(result, { exitCode: 0, signal: null, frames: 320, stoppedBy: "stdin", droppedFrames: 0 });
  assert.ok(rec.chunks.every((c) => c.length === 160), "5 ms chunks at 16 kHz");
  assert.deepEqual(pcmOf(rec), audio.subarray(0, 640));
  assert.deepEqual(rec.errors, ["early", "late"]);
  assert.deepEqual(levels, [50]);
  assert.deepEqual(rec.warnings.map((w) => w.reason), ["malformed-line", "partial-sample"]);
  assert.ok(rec.events.some((e) => e.type === "brand-new"));
});

test("no error line, or no process at all, still rejects ready", async () => {
  const cases: [ReturnType<typeof start>, object, RegExp][] = [
    [fake({ steps: [{ exit: 3 }] }), { exitCode: 3, status: undefined }, /exited with status 3 before it was ready/],
    [start({ binaryPath: "/nonexistent/audiotap" }), { exitCode: null }, /could not start .*ENOENT/],
  ];
  for (const [capture, fields, message] of cases) {
    const err = await capture.ready.then(() => assert.fail("resolved"), (e: StartError) => e);
    assert.ok(err instanceof StartError);
    assert.deepEqual(pick(err, fields), fields);
    assert.match(err.message, message);
    assert.equal((await capture.stop()).stoppedBy, "exited");
  }
});

test("stop escalates from stdin to SIGTERM to SIGKILL, once; on Windows from stdin to the kill", async () => {
  const killed = { stoppedBy: "SIGKILL", exitCode: null, signal: "SIGKILL", frames: null };
  const cases: [string, object, number, object][] = [
    ["linux", { onStdinEnd: "stop" }, 10000, { stoppedBy: "stdin", exitCode: 0, signal: null, frames: 1 }],
    ["linux", { onStdinEnd: "ignore", onTerm: "stop" }, 200, { stoppedBy: "SIGTERM", exitCode: 0, frames: 1 }],
    ["linux", { onStdinEnd: "ignore" }, 200, killed],
    ["win32", { onStdinEnd: "stop" }, 10000, { stoppedBy: "stdin", exitCode: 0, signal: null, frames: 1 }],
    ["win32", { onStdinEnd: "ignore", onTerm: "stop" }, 200, killed],
  ];
  try {
    for (const [platform, plan, timeoutMs, want] of cases) {
      host.platform = platform;
      const capture = fake({ ...plan, steps: [{ out: "0100" }, line(READY)] });
      await capture.ready;
      const first = capture.stop({ timeoutMs });
      assert.equal(capture.stop({ timeoutMs: 0 }), first);
      assert.deepEqual(pick(await first, want), want, platform);
    }
  } finally {
    host.platform = process.platform;
  }
});

test("mic: frames cut anywhere by the pipe come out whole and split; a binary that ignores --mic is refused", async () => {
  const frames = 160;
  const audio = Buffer.alloc(frames * 4);
  for (let i = 0; i < frames; i++) {
    audio.writeInt16LE(i * 101 - 8000, i * 4);
    audio.writeInt16LE(-i * 37, i * 4 + 2);
  }
  const cuts = [1, 3, 6, 7, 322, 401, 639];
  const out = [0, ...cuts, audio.length].slice(1).map((at, i, all) => ({ out: audio.subarray(i ? all[i - 1] : 0, at).toString("hex") }));
  const ready2 = { ...READY, outputFormat: { ...READY.outputFormat, channels: 2 }, channels: ["system", "microphone"], inputDeviceUID: "mic" };
  const level = line({ type: "level", peak: 0.5, frames: 80, peaks: [0.5, 0.25] });
  const cases: [object, StartOptions, string | null][] = [
    [ready2, { mic: true }, null],
    [ready2, { mic: true, echoCancel: false }, null],
    [READY, { mic: true }, MIC_UNKNOWN],
  ];
  for (const [ready, options, refused] of cases) {
    const label = `${JSON.stringify(options)} ${refused}`;
    const capture = fake({ steps: [out[0], line(ready), ...out.slice(1), level] }, 5, options);
    const rec = record(capture);
    const peaks: unknown[] = [];
    capture.on("level", (e) => peaks.push(e.peaks));
    if (refused) {
      const err = await capture.ready.then(() => assert.fail(`${label}: ready`), (e: StartError) => e);
      assert.equal(err.message, refused, label);
      continue;
    }
    assert.deepEqual(await capture.ready, ready, label);
    await until("the level", () => peaks.length === 1);
    await capture.stop({ timeoutMs: 10000 });
    assert.ok(rec.chunks.every((c) => c.length === 320), `${label}: 5 ms of frames at 16 kHz`);
    const parts = rec.chunks.map(splitChannels);
    const channel = (k: number) => Array.from({ length: frames }, (_, i) => audio.readInt16LE(i * 4 + k));
    const samplesOf = (bufs: Buffer[]) => Array.from({ length: frames }, (_, i) => Buffer.concat(bufs).readInt16LE(i * 2));
    assert.deepEqual(samplesOf(parts.map((p) => p.system)), channel(0), label);
    assert.deepEqual(samplesOf(parts.map((p) => p.microphone)), channel(2), label);
    assert.deepEqual(peaks, [[0.5, 0.25]], label);
  }
});
