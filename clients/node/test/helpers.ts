import * as path from "node:path";
import { after } from "node:test";

import { Capture, RawEvent, StartOptions, Warning, start } from "../src";

export const FAKE = path.resolve(__dirname, "..", "..", "test", "fixtures", "fake-audiotap.js");

const started: Capture[] = [];
// A failed assertion must not leave a capture running and the runner waiting on it.
after(() => Promise.all(started.map((c) => c.stop({ timeoutMs: 1000 }))));

export function startTracked(options: StartOptions): Capture {
  const capture = start(options);
  started.push(capture);
  return capture;
}

export interface Recorded {
  chunks: Buffer[];
  events: RawEvent[];
  warnings: Warning[];
  errors: string[];
}

/** Reads everything a capture produces until it exits. */
export function record(capture: Capture): Recorded {
  const rec: Recorded = { chunks: [], events: [], warnings: [], errors: [] };
  capture.pcm.on("data", (chunk: Buffer) => rec.chunks.push(chunk));
  capture.on("event", (e) => rec.events.push(e));
  capture.on("warning", (w) => rec.warnings.push(w));
  capture.on("error", (e) => rec.errors.push(e.message));
  return rec;
}

export const pcmOf = (rec: Recorded): Buffer => Buffer.concat(rec.chunks);

/** Frequency from rising zero crossings. */
export function frequency(pcm: Buffer, rate: number): number {
  let crossings = 0;
  for (let i = 2; i < pcm.length; i += 2) if (pcm.readInt16LE(i - 2) < 0 && pcm.readInt16LE(i) >= 0) crossings++;
  return (crossings * rate) / (pcm.length / 2);
}

/** Waits for a condition; the limit only keeps a broken run from hanging. */
export async function until(what: string, cond: () => boolean, limitMs = 30000): Promise<void> {
  for (const t0 = Date.now(); !cond(); await new Promise((resolve) => setTimeout(resolve, 20))) {
    if (Date.now() - t0 > limitMs) throw new Error(`gave up waiting for ${what}`);
  }
}
