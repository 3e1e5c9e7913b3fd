import assert from "node:assert/strict";
import { test } from "node:test";

import { LineSplitter, parseEventLine } from "../src/events";

const TAP = '{"sampleRate":48000,"channels":2}';
const OUT = '{"sampleRate":16000,"channels":1,"bits":16}';
const OUT2 = '{"sampleRate":16000,"channels":2,"bits":16}';
const MIC = '"channels":["system","microphone"],"inputDeviceUID":"BuiltInMicrophoneDevice"';

test("event lines: known, unknown, malformed and badly typed", () => {
  const cases: [string, string, string?][] = [
    ['{"type":"error","message":"m","status":1852797029,"code":"nope"}\r', "known"],
    ['{"type":"hello","x":1}', "unknown"],
    ["   ", "blank"],
    ["{not json", "malformed-line"],
    ["[1,2]", "malformed-line"],
    ['{"type":7}', "malformed-line"],
    ['{"type":"level","peak":"loud","frames":1}', "bad-fields", "peak"],
    ['{"type":"stopped"}', "bad-fields", "frames"],
    ['{"type":"device","outputDeviceUID":"Phones","tapFormat":{"sampleRate":24000,"channels":1}}', "known"],
    ['{"type":"device","outputDeviceUID":"Phones","tapFormat":{"sampleRate":"fast"}}', "bad-fields", "tapFormat"],
    ['{"type":"device","outputDeviceUID":"Phones","tapFormat":{"sampleRate":24000,"channels":1},"inputDeviceUID":"Headset"}',
      "known"],
    ['{"type":"device","outputDeviceUID":"Phones","tapFormat":{"sampleRate":24000,"channels":1},"inputDeviceUID":1}',
      "bad-fields", "inputDeviceUID"],
    ['{"type":"ready","tapFormat":{"sampleRate":48000,"channels":2},"outputDeviceUID":"d"}', "bad-fields", "outputFormat"],
    [`{"type":"ready","tapFormat":${TAP},"outputFormat":${OUT},"outputDeviceUID":"d"}`, "bad-fields", "version"],
    [`{"type":"ready","tapFormat":${TAP},"outputFormat":${OUT},"outputDeviceUID":"d","version":"0.1.0"}`, "known"],
    [`{"type":"ready","tapFormat":${TAP},"outputFormat":${OUT2},"outputDeviceUID":"d","version":"0.1.0",${MIC}}`, "known"],
    [`{"type":"ready","tapFormat":${TAP},"outputFormat":${OUT2},"outputDeviceUID":"d","version":"0.1.0","channels":"system"}`,
      "bad-fields", "channels"],
    [`{"type":"ready","tapFormat":${TAP},"outputFormat":${OUT2},"outputDeviceUID":"d","version":"0.1.0","channels":[1,2]}`,
      "bad-fields", "channels"],
    [`{"type":"ready","tapFormat":${TAP},"outputFormat":${OUT2},"outputDeviceUID":"d","version":"0.1.0","inputDeviceUID":7}`,
      "bad-fields", "inputDeviceUID"],
    ['{"type":"level","peak":0.5,"frames":1,"peaks":[0.5,0.25]}', "known"],
    ['{"type":"level","peak":0.5,"frames":1,"peaks":[0.5,"0.25"]}', "bad-fields", "peaks"],
    ['{"type":"level","peak":0.5,"frames":1,"peaks":0.5}', "bad-fields", "peaks"],
  ];
  for (const [line, want, field] of cases) {
    const got = parseEventLine(line);
    const warning = got.kind === "blank" ? undefined : got.warning;
    const kind = warning ? warning.reason : got.kind === "event" ? (got.known ? "known" : "unknown") : "blank";
    assert.equal(kind, want, line);
    if (field) assert.match(warning?.detail ?? "", new RegExp(`"${field}"`), line);
  }
});

test("line splitting keeps multi-byte characters split across chunks", () => {
  const text = '{"type":"error","message":"failed \u2014 permission"}\n{"type":"stopped","frames":3}\n{"partial"';
  const bytes = Buffer.from(text, "utf8");
  const dash = bytes.indexOf(Buffer.from("\u2014", "utf8"));
  for (const cuts of [[dash + 1], [dash + 2, dash + 3], [1, 2, 3, bytes.length - 1]]) {
    const splitter = new LineSplitter();
    const lines: string[] = [];
    let from = 0;
    for (const at of [...cuts, bytes.length]) {
      lines.push(...splitter.push(bytes.subarray(from, at)));
      from = at;
    }
    lines.push(...splitter.end());
    assert.deepEqual(lines, text.split("\n"), `cuts ${cuts}`);
  }
});
