import * as path from "node:path";

export interface BinaryLookup {
  binaryPath?: string;
  env: NodeJS.ProcessEnv;
  platform: string;
  arch: string;
  /** The package's root folder, where bin/ lies. */
  packageRoot: string;
  /** Finds a file of an installed package (require.resolve), throwing when it is not installed. */
  resolvePackage?: (request: string) => string;
}

// Electron serves files inside app.asar from a virtual archive that exec
// cannot see; electron-builder's asarUnpack puts the real file here.
function outsideAsar(p: string): string {
  const parts = p.split(/([\\/])/);
  const i = parts.indexOf("app.asar");
  if (i < 0) return p;
  parts[i] = "app.asar.unpacked";
  return parts.join("");
}

export function resolveBinary(lookup: BinaryLookup): string {
  if (lookup.binaryPath) return lookup.binaryPath;
  const fromEnv = lookup.env.AUDIOTAP_BINARY;
  if (fromEnv) return fromEnv;
  // npm installs only the platform package whose os, cpu and libc match this machine.
  const name = lookup.platform === "win32" ? "audiotap.exe" : "audiotap";
  try {
    const found = lookup.resolvePackage?.(`@audiotap/${lookup.platform}-${lookup.arch}/bin/${name}`);
    if (found) return outsideAsar(found);
  } catch {
    // Not installed: a binary put in the package's own bin/ by hand.
  }
  return outsideAsar(path.join(lookup.packageRoot, "bin", `${lookup.platform}-${lookup.arch}`, name));
}

/** What the platform stop() runs on: tests set it to try another platform's stop. */
export const host = { platform: process.platform as string };

/**
 * What stop() does after closing stdin, each after timeoutMs. Windows has no
 * signal a process can handle (kill() there is TerminateProcess, whatever the
 * signal's name), so the orderly stop is stdin alone, and then the kill.
 */
export function stopSteps(platform: string = host.platform): ("SIGTERM" | "SIGKILL")[] {
  return platform === "win32" ? ["SIGKILL"] : ["SIGTERM", "SIGKILL"];
}

export interface ArgOptions {
  rate?: number;
  seconds?: number;
  include?: readonly number[];
  exclude?: readonly number[];
  excludeSelf?: boolean;
  followOutput?: boolean;
  mic?: boolean;
  echoCancel?: boolean;
}

function pidArgs(option: string, name: string, pids: readonly number[] | undefined): string[] {
  if (pids === undefined) return [];
  if (!Array.isArray(pids)) throw new TypeError(`${name} must be an array of process IDs`);
  const args: string[] = [];
  for (const pid of pids) {
    // The binary refuses anything else too; failing here names the option in the host's own terms.
    if (!Number.isSafeInteger(pid) || pid <= 0 || pid > 2147483647) {
      throw new RangeError(`${name} must hold positive integer process IDs, got ${pid}`);
    }
    args.push(option, String(pid));
  }
  return args;
}

export function buildArgs(options: ArgOptions): string[] {
  const args: string[] = [];
  if (options.rate !== undefined) {
    if (!Number.isFinite(options.rate) || options.rate <= 0) {
      throw new RangeError(`rate must be a positive number of hertz, got ${options.rate}`);
    }
    args.push("--rate", String(options.rate));
  }
  if (options.seconds !== undefined) {
    if (Number.isNaN(options.seconds) || options.seconds < 0) {
      throw new RangeError(`seconds must be 0 (no limit) or more, got ${options.seconds}`);
    }
    if (options.seconds > 0 && Number.isFinite(options.seconds)) args.push("--seconds", String(options.seconds));
  }
  args.push(...pidArgs("--include-pid", "include", options.include));
  args.push(...pidArgs("--exclude-pid", "exclude", options.exclude));
  if (options.excludeSelf) args.push("--exclude-pid", String(process.pid));
  // On by default here: a host app wants the audio the user hears, wherever it plays.
  if (options.followOutput ?? true) args.push("--follow-output");
  if (options.echoCancel === false && !options.mic) {
    // Alone the binary would ignore it: the host meant something else.
    throw new RangeError("echoCancel: false needs mic: true");
  }
  if (options.mic) args.push("--mic");
  if (options.mic && options.echoCancel === false) args.push("--no-echo-cancel");
  return args;
}
