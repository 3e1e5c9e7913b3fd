import { performance } from "node:perf_hooks";

import { start } from "../src";
import { parseEventLine } from "../src/events";
import { PcmStream, splitChannels } from "../src/pcm";

// Pipe reads of odd sizes, so nearly every read splits a sample.
function realign(chunkMs: number | undefined, seconds: number): void {
  const rate = 48000;
  const input = Buffer.alloc(rate * seconds * 2, 0x5a);
  const stream = new PcmStream({ sampleRate: rate, chunkMs });
  let out = 0;
  const t0 = performance.now();
  for (let at = 0; at < input.length; at += 4093) {
    stream.write(input.subarray(at, Math.min(at + 4093, input.length)));
    for (let c = stream.read(); c !== null; c = stream.read()) out += c.length;
  }
  stream.finish();
  for (let c = stream.read(); c !== null; c = stream.read()) out += c.length;
  const ms = performance.now() - t0;
  const label = chunkMs === undefined ? "as read" : `${chunkMs} ms chunks`;
  console.log(
    `realign ${label}: ${seconds} s of 48 kHz audio (${(out / 1e6).toFixed(1)} MB) in ${ms.toFixed(1)} ms, ` +
      `${(seconds * 1000 / ms).toFixed(0)}x real time`,
  );
}

// Two-channel frames in 100 ms chunks, each taken apart into its channels.
function split(seconds: number): void {
  const rate = 48000;
  const input = Buffer.alloc(rate * seconds * 4, 0x5a);
  let out = 0;
  const t0 = performance.now();
  for (let at = 0; at < input.length; at += rate * 0.4) out += splitChannels(input.subarray(at, at + rate * 0.4)).system.length;
  const ms = performance.now() - t0;
  console.log(`splitChannels: ${seconds} s of 48 kHz two-channel frames (${(out / 5e5).toFixed(1)} MB) in ${ms.toFixed(1)} ms, ` +
    `${(seconds * 1000 / ms).toFixed(0)}x real time`);
}

function parse(lines: number): void {
  const line = '{"type":"level","peak":0.4999847412109375,"frames":123456789}';
  const t0 = performance.now();
  for (let i = 0; i < lines; i++) parseEventLine(line);
  const ms = performance.now() - t0;
  console.log(`parse: ${lines} level lines in ${ms.toFixed(1)} ms, ${((ms * 1e6) / lines).toFixed(0)} ns per line`);
}

// Through a real pipe from the simulator generating as fast as it can: the
// figure includes the simulator's own conversion.
async function endToEnd(binaryPath: string, chunkMs: number): Promise<void> {
  const capture = start({ binaryPath, chunkMs, env: { ...process.env, AUDIOTAP_SIM: "pace=fast" } });
  await capture.ready;
  let samples = 0;
  const t0 = performance.now();
  for await (const chunk of capture.pcm) {
    samples += chunk.length / 2;
    if (performance.now() - t0 > 2000) break;
  }
  const ms = performance.now() - t0;
  await capture.stop();
  console.log(`end to end, ${chunkMs} ms chunks: ${(samples / 16000).toFixed(0)} s of 16 kHz audio in ${ms.toFixed(0)} ms, ` +
    `${((samples / 16000) * 1000 / ms).toFixed(0)}x real time`);
}

(async () => {
  realign(undefined, 600);
  realign(20, 600);
  realign(100, 600);
  split(600);
  parse(200000);
  const sim = process.env.AUDIOTAP_SIM_BINARY;
  if (sim) await endToEnd(sim, 20);
  else console.log("end to end: skipped, AUDIOTAP_SIM_BINARY is not set");
})();
