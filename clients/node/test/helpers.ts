import * as path from "node:path";

import { Capture, RawEvent, Warning } from "../src";

export const FAKE = path.resolve(__dirname, "..", "..", "test", "fixtures", "fake-audiotap.js");

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
