import assert from "node:assert/strict";
import { test } from "node:test";

import { StartError, start } from "../src";
import { FAKE, pcmOf, record } from "./helpers";

const fake = (plan: object, chunkMs?: number) =>
  start({ binaryPath: FAKE, chunkMs, env: { ...process.env, FAKE_AUDIOTAP: JSON.stringify(plan) } });
const line = (o: object) => ({ err: JSON.stringify(o) + "\n" });
const READY = {
  type: "ready",
  tapFormat: { sampleRate: 48000, channels: 1 },
  outputFormat: { sampleRate: 16000, channels: 1, bits: 16 },
  outputDeviceUID: "fake",
};

test("a real pipe: split samples re-aligned, odd lines surfaced, early run-time errors kept", async () => {
  const audio = Buffer.alloc(640);
  for (let i = 0; i < 320; i++) audio.writeInt16LE(i * 97 - 16000, i * 2);
  const cuts = [1, 4, 7, 99, 100, 321, 639, 640];
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
  await new Promise((resolve) => setTimeout(resolve, 300));
  const result = await capture.stop({ timeoutMs: 10000 });
  assert.deepEqual(result, { exitCode: 0, signal: null, frames: 320, stoppedBy: "stdin", droppedFrames: 0 });
  assert.ok(rec.chunks.every((c) => c.length === 160), "5 ms chunks at 16 kHz");
  assert.deepEqual(pcmOf(rec), audio);
  assert.deepEqual(rec.errors, ["early", "late"]);
  assert.deepEqual(levels, [50]);
  assert.deepEqual(rec.warnings.map((w) => w.reason), ["malformed-line"]);
  assert.ok(rec.events.some((e) => e.type === "brand-new"));
});

test("start-up failures reject ready with what the process said", async () => {
  const cases: [ReturnType<typeof start>, Partial<StartError>, RegExp?][] = [
    [fake({ steps: [line({ type: "error", message: "bad", status: 1852797029, code: "nope" }), { exit: 1 }] }),
      { message: "bad", status: 1852797029, code: "nope", exitCode: 1, signal: null }],
    [fake({ steps: [line({ type: "stopped", frames: 0 }), line({ type: "error", message: "m" }), { exit: 1 }] }),
      { message: "m", status: undefined, code: undefined, exitCode: 1 }],
    [fake({ steps: [{ exit: 3 }] }), { exitCode: 3 }, /exited with status 3 before it was ready/],
    [start({ binaryPath: "/nonexistent/audiotap" }), { exitCode: null }, /could not start .*ENOENT/],
  ];
  for (const [capture, fields, message] of cases) {
    const err = await capture.ready.then(() => assert.fail("resolved"), (e: StartError) => e);
    assert.ok(err instanceof StartError);
    assert.deepEqual({ ...fields }, Object.fromEntries(Object.keys(fields).map((k) => [k, err[k as keyof StartError]])));
    if (message) assert.match(err.message, message);
    assert.equal((await capture.stop()).stoppedBy, "exited");
  }
});

test("stop escalates from stdin to SIGTERM to SIGKILL, once", async () => {
  const cases: [object, number, object][] = [
    [{ onStdinEnd: "stop" }, 10000, { stoppedBy: "stdin", exitCode: 0, signal: null, frames: 1 }],
    [{ onStdinEnd: "ignore", onTerm: "stop" }, 200, { stoppedBy: "SIGTERM", exitCode: 0, frames: 1 }],
    [{ onStdinEnd: "ignore" }, 200, { stoppedBy: "SIGKILL", exitCode: null, signal: "SIGKILL", frames: null }],
  ];
  for (const [plan, timeoutMs, want] of cases) {
    const capture = fake({ ...plan, steps: [{ out: "0100" }, line(READY)] });
    await capture.ready;
    const first = capture.stop({ timeoutMs });
    assert.equal(capture.stop({ timeoutMs: 0 }), first);
    const got = await first;
    assert.deepEqual(Object.fromEntries(Object.keys(want).map((k) => [k, got[k as keyof typeof got]])), want);
  }
});

test("a PCM stream that ends inside a sample warns", async () => {
  const capture = fake({ steps: [line(READY), { out: "010203" }, { exit: 0 }] });
  const rec = record(capture);
  await capture.exited;
  assert.deepEqual(pcmOf(rec), Buffer.from("0102", "hex"));
  assert.deepEqual(rec.warnings.map((w) => w.reason), ["partial-sample"]);
});
