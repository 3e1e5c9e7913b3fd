import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { once } from "node:events";
import { test } from "node:test";

import { frequency, pcmOf, record, startTracked, until } from "./helpers";

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

function loudSpan(pcm: Buffer): [number, number] {
  let first = -1;
  let last = -1;
  for (let i = 0; i < pcm.length; i += 2) {
    if (Math.abs(pcm.readInt16LE(i)) > 3000) [first, last] = [first < 0 ? i : first, i];
  }
  return [first, last];
}

test("a tone played on the sound server arrives through pcm at the asked rate", { skip }, async () => {
  for (const rate of [16000, 24000]) {
    const capture = startTracked({ binaryPath: BIN, rate, chunkMs: 20 });
    const rec = record(capture);
    await capture.ready;
    const player = spawn("pacat", ["--playback", "--raw", "--format=s16le", "--rate=48000", "--channels=1"], {
      stdio: ["pipe", "ignore", "inherit"],
    });
    player.stdin.end(tone(48000, 1000, 1.5));
    assert.equal((await once(player, "exit"))[0], 0, "pacat");
    // The tone and 0.3 s after it, on the capture's own clock.
    await until("the tone's end", () => {
      const [first] = loudSpan(pcmOf(rec));
      return first >= 0 && pcmOf(rec).length - first >= 1.8 * rate * 2;
    });
    const result = await capture.stop({ timeoutMs: 10000 });
    assert.equal(result.exitCode, 0);
    const pcm = pcmOf(rec);
    assert.equal(pcm.length, (result.frames as number) * 2);
    const [first, last] = loudSpan(pcm);
    const seconds = (last - first) / 2 / rate;
    assert.ok(Math.abs(seconds - 1.5) < 0.15, `${rate}: tone lasted ${seconds} s`);
    const hz = frequency(pcm.subarray(first, last), rate);
    assert.ok(Math.abs(hz - 1000) < 20, `${rate}: ${hz} Hz`);
  }
});
