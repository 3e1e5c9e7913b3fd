import assert from "node:assert/strict";
import { test } from "node:test";

import { PcmStream, splitChannels } from "../src/pcm";

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

test("frames split by pipe reads come out whole, in fixed chunks when asked, and split into their channels", () => {
  // 1000 Hz: 10 ms is 10 frames, 20 bytes of one channel, 40 of two.
  const cases: { cuts: number[]; chunkMs?: number; channels?: number; sizes?: number[]; bytes?: number }[] = [
    { cuts: [1, 2, 3, 5, 8, 13, 21, 34, 199] },
    { cuts: [1, 41, 99], chunkMs: 10, sizes: Array(10).fill(20) },
    { cuts: [199], chunkMs: 10, sizes: Array(10).fill(20) },
    { cuts: [], chunkMs: 35, sizes: [70, 70, 60] },
    { cuts: [1, 2, 3, 5, 6, 7, 13, 21, 34, 198], channels: 2 },
    { cuts: [3, 41, 99, 101], chunkMs: 10, channels: 2, sizes: Array(5).fill(40) },
    { cuts: [2, 6, 10], channels: 2, bytes: 203 },
  ];
  for (const { cuts, chunkMs, channels = 1, sizes, bytes = 200 } of cases) {
    const s = new PcmStream({ sampleRate: 1000, chunkMs, channels });
    const input = samples(102).subarray(0, bytes);
    const whole = input.subarray(0, bytes - (bytes % (2 * channels)));
    const got: Buffer[] = [];
    let from = 0;
    for (const at of [...cuts, input.length]) {
      s.write(input.subarray(from, at));
      from = at;
      got.push(...drain(s));
    }
    const label = `cuts ${cuts} chunkMs ${chunkMs} channels ${channels}`;
    assert.equal(s.finish(), bytes - whole.length, label);
    got.push(...drain(s));
    for (const c of got) assert.equal(c.length % (2 * channels), 0, label);
    if (sizes) assert.deepEqual(got.map((c) => c.length), sizes, label);
    assert.deepEqual(Buffer.concat(got), whole, label);
    if (channels === 2) {
      const parts = got.map(splitChannels);
      const nth = (k: number) => Buffer.concat(Array.from({ length: whole.length / 4 }, (_, i) => whole.subarray(4 * i + k, 4 * i + k + 2)));
      assert.deepEqual(Buffer.concat(parts.map((p) => p.system)), nth(0), label);
      assert.deepEqual(Buffer.concat(parts.map((p) => p.microphone)), nth(2), label);
    }
  }
  assert.throws(() => splitChannels(Buffer.alloc(6)), RangeError);
});

test("bounded mode drops the oldest audio and counts it; unbounded pauses the source", () => {
  const cases: { maxBufferedMs?: number; chunkMs?: number; channels?: number; kept: number; dropped: number; pauses: number }[] = [
    { maxBufferedMs: 50, kept: 50, dropped: 250, pauses: 0 },
    { maxBufferedMs: 45, chunkMs: 20, kept: 60, dropped: 240, pauses: 0 },
    { kept: 300, dropped: 0, pauses: 1 },
    // Dropped frames of two channels: 150 in, 50 kept (100 samples).
    { maxBufferedMs: 50, channels: 2, kept: 100, dropped: 100, pauses: 0 },
  ];
  for (const { maxBufferedMs, chunkMs, channels, kept, dropped, pauses } of cases) {
    const label = `max ${maxBufferedMs} chunk ${chunkMs} channels ${channels}`;
    const s = new PcmStream({ sampleRate: 1000, maxBufferedMs, chunkMs, channels });
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
