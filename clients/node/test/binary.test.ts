import assert from "node:assert/strict";
import { test } from "node:test";

import { buildArgs, resolveBinary } from "../src/binary";

test("binary lookup: option, then AUDIOTAP_BINARY, then bin/ outside app.asar", () => {
  const base = { platform: "darwin", arch: "arm64" };
  const cases: [Parameters<typeof resolveBinary>[0], string][] = [
    [{ ...base, binaryPath: "/opt/a", env: { AUDIOTAP_BINARY: "/env/a" }, packageRoot: "/p" }, "/opt/a"],
    [{ ...base, env: { AUDIOTAP_BINARY: "/env/a" }, packageRoot: "/p" }, "/env/a"],
    [{ ...base, env: { AUDIOTAP_BINARY: "" }, packageRoot: "/p" }, "/p/bin/darwin-arm64/audiotap"],
    [{ ...base, env: {}, packageRoot: "/App/Resources/app.asar/node_modules/audiotap" },
      "/App/Resources/app.asar.unpacked/node_modules/audiotap/bin/darwin-arm64/audiotap"],
    [{ ...base, env: {}, packageRoot: "/x/app.asar.unpacked/m" }, "/x/app.asar.unpacked/m/bin/darwin-arm64/audiotap"],
  ];
  for (const [lookup, want] of cases) assert.equal(resolveBinary(lookup), want);
});

test("command line from options", () => {
  const cases: [Parameters<typeof buildArgs>[0], string[] | RegExp][] = [
    [{}, []],
    [{ rate: 44100, seconds: 2.5 }, ["--rate", "44100", "--seconds", "2.5"]],
    [{ seconds: 0 }, []],
    [{ seconds: Infinity }, []],
    [{ rate: 0 }, /rate/],
    [{ rate: NaN }, /rate/],
    [{ seconds: -1 }, /seconds/],
  ];
  for (const [options, want] of cases) {
    if (want instanceof RegExp) assert.throws(() => buildArgs(options), want);
    else assert.deepEqual(buildArgs(options), want);
  }
});
