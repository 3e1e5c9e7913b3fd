import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { once } from "node:events";
import { test } from "node:test";

import { start } from "../src";
import { pcmOf, record } from "./helpers";
import { frequency } from "./sim.test";

const BIN = process.env.AUDIOTAP_BINARY;
const skip = !BIN
  ? "AUDIOTAP_BINARY is not set: point it at the Linux build of audiotap"
  : !process.env.PULSE_SERVER && !process.env.PULSE_RUNTIME_PATH
    ? "no sound server given: eval \"$(scripts/pulse-server start DIR)\" first (sets PULSE_SERVER)"
    : false;

function tone(rate: number, hz: number, seconds: number): Buffer {
  const b = Buffer.alloc(Math.round(rate * seconds) * 2);
  for (let i = 0; i < b.length / 2; i++) b.writeInt16LE(Math.round(12000 * Math.sin((2 * Math.PI * hz * i) / rate)), i * 2);
  return b;
}

test("a tone played on the sound server arrives through pcm at the asked rate", { skip }, async () => {
  for (const rate of [16000, 24000]) {
    const capture = start({ binaryPath: BIN, rate, chunkMs: 20 });
    const rec = record(capture);
    await capture.ready;
    const player = spawn("pacat", ["--playback", "--raw", "--format=s16le", "--rate=48000", "--channels=1"], {
      stdio: ["pipe", "ignore", "inherit"],
    });
    player.stdin.end(tone(48000, 1000, 1.5));
    assert.equal((await once(player, "exit"))[0], 0, "pacat");
    await new Promise((resolve) => setTimeout(resolve, 300));
    const result = await capture.stop({ timeoutMs: 10000 });
    assert.equal(result.exitCode, 0);
    const pcm = pcmOf(rec);
    assert.equal(pcm.length, (result.frames as number) * 2);
    let first = -1;
    let last = -1;
    for (let i = 0; i < pcm.length; i += 2) {
      if (Math.abs(pcm.readInt16LE(i)) > 3000) (first < 0 ? (first = i) : 0), (last = i);
    }
    assert.ok(first >= 0, `${rate}: no tone in ${pcm.length} bytes`);
    const seconds = (last - first) / 2 / rate;
    assert.ok(Math.abs(seconds - 1.5) < 0.15, `${rate}: tone lasted ${seconds} s`);
    const hz = frequency(pcm.subarray(first, last), rate);
    assert.ok(Math.abs(hz - 1000) < 20, `${rate}: ${hz} Hz`);
  }
});
