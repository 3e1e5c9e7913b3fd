import assert from "node:assert/strict";
import { test } from "node:test";

import { PcmStream } from "../src/pcm";

const samples = (n: number, from = 0): Buffer => {
  const b = Buffer.alloc(n * 2);
  for (let i = 0; i < n; i++) b.writeInt16LE(((from + i) % 65536) - 32768, i * 2);
  return b;
};
const drain = (s: PcmStream): Buffer[] => {
  const out: Buffer[] = [];
  for (let c = s.read(); c !== null; c = s.read()) out.push(c);
  return out;
};
const feed = (s: PcmStream, bytes: Buffer, cuts: number[]): void => {
  let from = 0;
  for (const at of [...cuts, bytes.length]) {
    s.write(bytes.subarray(from, at));
    from = at;
  }
};

test("samples split by pipe reads come out whole, in fixed chunks when asked", () => {
  // 1000 Hz: 10 ms is 10 samples, 20 bytes.
  const ten = Array(10).fill(20);
  const cases: { cuts: number[]; chunkMs?: number; sizes?: number[] }[] = [
    { cuts: [1, 2, 3, 5, 8, 13, 21, 34, 199] },
    { cuts: [1, 41, 99], chunkMs: 10, sizes: ten },
    { cuts: [199], chunkMs: 10, sizes: ten },
    { cuts: [], chunkMs: 35, sizes: [70, 70, 60] },
  ];
  for (const { cuts, chunkMs, sizes } of cases) {
    const s = new PcmStream({ sampleRate: 1000, chunkMs });
    const input = samples(100);
    const got: Buffer[] = [];
    let from = 0;
    for (const at of [...cuts, input.length]) {
      s.write(input.subarray(from, at));
      from = at;
      got.push(...drain(s));
    }
    assert.equal(s.finish(), 0);
    got.push(...drain(s));
    const label = `cuts ${cuts} chunkMs ${chunkMs}`;
    for (const c of got) assert.equal(c.length % 2, 0, label);
    if (sizes) assert.deepEqual(got.map((c) => c.length), sizes, label);
    assert.deepEqual(Buffer.concat(got), input, label);
  }
});

test("bounded mode drops the oldest audio and counts it; unbounded pauses the source", () => {
  const cases: { maxBufferedMs?: number; chunkMs?: number; kept: number; dropped: number; pauses: number }[] = [
    { maxBufferedMs: 50, kept: 50, dropped: 250, pauses: 0 },
    { maxBufferedMs: 45, chunkMs: 20, kept: 60, dropped: 240, pauses: 0 },
    { kept: 300, dropped: 0, pauses: 1 },
  ];
  for (const { maxBufferedMs, chunkMs, kept, dropped, pauses } of cases) {
    const label = `max ${maxBufferedMs} chunk ${chunkMs}`;
    const s = new PcmStream({ sampleRate: 1000, maxBufferedMs, chunkMs });
    const source = { pauses: 0, resumes: 0, pause: () => source.pauses++, resume: () => source.resumes++ };
    s.attach(source);
    const input = samples(300);
    feed(s, input, [21, 100, 301, 420]);
    assert.equal(s.droppedFrames, dropped, label);
    assert.equal(source.pauses, pauses, label);
    const rest = Buffer.concat(drain(s));
    assert.deepEqual(rest, input.subarray(input.length - kept * 2), label);
    assert.equal(source.resumes, pauses, label);
  }
});
