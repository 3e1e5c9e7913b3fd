import assert from "node:assert/strict";
import { test } from "node:test";

import { buildArgs, resolveBinary } from "../src/binary";

test("binary lookup: option, AUDIOTAP_BINARY, the platform package, then bin/, outside app.asar", () => {
  const installed = (root: string) => (request: string) => {
    if (request !== "@audiotap/darwin-arm64/bin/audiotap") throw new Error(`Cannot find module '${request}'`);
    return `${root}/node_modules/${request}`;
  };
  const base = { platform: "darwin", arch: "arm64" };
  const cases: [Parameters<typeof resolveBinary>[0], string][] = [
    [{ ...base, binaryPath: "/opt/a", env: { AUDIOTAP_BINARY: "/env/a" }, packageRoot: "/p" }, "/opt/a"],
    [{ ...base, env: { AUDIOTAP_BINARY: "/env/a" }, packageRoot: "/p" }, "/env/a"],
    [{ ...base, env: { AUDIOTAP_BINARY: "" }, packageRoot: "/p" }, "/p/bin/darwin-arm64/audiotap"],
    [{ ...base, env: {}, packageRoot: "/R/app.asar/node_modules/a" }, "/R/app.asar.unpacked/node_modules/a/bin/darwin-arm64/audiotap"],
    [{ ...base, env: {}, packageRoot: "/R/app.asar.unpacked/m" }, "/R/app.asar.unpacked/m/bin/darwin-arm64/audiotap"],
    [{ ...base, env: { AUDIOTAP_BINARY: "/env/a" }, packageRoot: "/p", resolvePackage: installed("/h") }, "/env/a"],
    [{ ...base, env: {}, packageRoot: "/p", resolvePackage: installed("/h") }, "/h/node_modules/@audiotap/darwin-arm64/bin/audiotap"],
    [{ ...base, env: {}, packageRoot: "/R/app.asar/m", resolvePackage: installed("/R/app.asar") },
      "/R/app.asar.unpacked/node_modules/@audiotap/darwin-arm64/bin/audiotap"],
    [{ ...base, arch: "x64", env: {}, packageRoot: "/p", resolvePackage: installed("/h") }, "/p/bin/darwin-x64/audiotap"],
    [{ platform: "win32", arch: "x64", env: {}, packageRoot: "/p" }, "/p/bin/win32-x64/audiotap.exe"],
    [{ platform: "win32", arch: "x64", env: {}, packageRoot: "/p", resolvePackage: (r: string) => `/h/node_modules/${r}` },
      "/h/node_modules/@audiotap/win32-x64/bin/audiotap.exe"],
  ];
  for (const [lookup, want] of cases) assert.equal(resolveBinary(lookup), want);
});

test("process filter options: one flag per PID, excludeSelf adds this process, bad PIDs throw", () => {
  assert.deepEqual(buildArgs({ include: [10, 20], exclude: [30], followOutput: false }), [
    "--include-pid", "10", "--include-pid", "20", "--exclude-pid", "30",
  ]);
  assert.deepEqual(buildArgs({ exclude: [], excludeSelf: true, followOutput: false }), ["--exclude-pid", String(process.pid)]);
  assert.deepEqual(buildArgs({ excludeSelf: false, followOutput: false }), []);
  for (const bad of [0, -1, 1.5, NaN, 2 ** 31, "7" as unknown as number]) {
    assert.throws(() => buildArgs({ include: [bad] }), RangeError, String(bad));
    assert.throws(() => buildArgs({ exclude: [bad] }), RangeError, String(bad));
  }
  assert.throws(() => buildArgs({ include: 7 as unknown as number[] }), TypeError);
});

test("arguments: the output device is followed unless followOutput is false; the microphone only with mic", () => {
  const cases: [Parameters<typeof buildArgs>[0], string[]][] = [
    [{}, ["--follow-output"]],
    [{ rate: 8000, followOutput: true }, ["--rate", "8000", "--follow-output"]],
    [{ seconds: 2, followOutput: false }, ["--seconds", "2"]],
    [{ mic: true, followOutput: false }, ["--mic"]],
    [{ mic: true, echoCancel: true, followOutput: false }, ["--mic"]],
    [{ mic: true, echoCancel: false }, ["--follow-output", "--mic", "--no-echo-cancel"]],
    [{ mic: false, echoCancel: true, followOutput: false }, []],
  ];
  for (const [options, want] of cases) assert.deepEqual(buildArgs(options), want, JSON.stringify(options));
  for (const bad of [{ echoCancel: false }, { mic: false, echoCancel: false }]) {
    assert.throws(() => buildArgs(bad), /echoCancel: false needs mic: true/, JSON.stringify(bad));
  }
});
