import { ChildProcess, spawn } from "node:child_process";
import { EventEmitter } from "node:events";
import * as path from "node:path";

import { buildArgs, resolveBinary, stopSteps } from "./binary";
import { StartError } from "./errors";
import {
  DeviceEvent,
  ErrorEvent,
  LevelEvent,
  LineSplitter,
  RawEvent,
  ReadyEvent,
  StoppedEvent,
  Warning,
  parseEventLine,
} from "./events";
import { PcmStream } from "./pcm";

export interface StartOptions {
  /** The capture binary; else AUDIOTAP_BINARY; else bin/<platform>-<arch>/audiotap in this package. */
  binaryPath?: string;
  /** Output sample rate in hertz (--rate); the binary's default is 16000. */
  rate?: number;
  /** Stop by itself after this many seconds (--seconds); 0 or absent: no limit. */
  seconds?: number;
  /** Capture only these processes and their descendants (--include-pid each). */
  include?: readonly number[];
  /** Leave these processes and their descendants out (--exclude-pid each). */
  exclude?: readonly number[];
  /** Leave this process and its descendants out (an Electron app's renderers and audio service). */
  excludeSelf?: boolean;
  /**
   * Follow the system's default output device when it changes (--follow-output), with a "device"
   * event at each move. Default true; false captures the device found at start-up only.
   */
  followOutput?: boolean;
  /**
   * Capture the default input device too (--mic): every frame of `pcm` is then two samples,
   * [system, microphone], the same moment; splitChannels() takes them apart.
   */
  mic?: boolean;
  /**
   * With `mic`: false passes --no-echo-cancel, the microphone as it is (headsets, a host's own
   * canceller). Default true: the system audio's echo is removed from the microphone.
   */
  echoCancel?: boolean;
  /** Deliver PCM in Buffers of exactly this many milliseconds. */
  chunkMs?: number;
  /**
   * Never let the capture stall behind a slow reader: keep at most this much
   * unread audio and drop the oldest beyond it (counted in droppedFrames).
   */
  maxBufferedMs?: number;
  /** Environment of the capture process; default: this process's. */
  env?: NodeJS.ProcessEnv;
  /** Tell the capture process to stop when this process exits (default true). */
  stopOnExit?: boolean;
}

export interface StopOptions {
  /** How long each step waits before the next, harsher one: stdin close, SIGTERM, SIGKILL (Windows: stdin close, the kill). Default 3000. */
  timeoutMs?: number;
}

export interface ExitInfo {
  exitCode: number | null;
  signal: NodeJS.Signals | null;
}

export interface StopResult extends ExitInfo {
  /** "frames" of the "stopped" event; null when the process reported none. */
  frames: number | null;
  /** The step that ended the process: "stdin" (graceful), "SIGTERM" (not on Windows), "SIGKILL" (on Windows: TerminateProcess), or "exited" when it was gone already. */
  stoppedBy: "stdin" | "SIGTERM" | "SIGKILL" | "exited";
  droppedFrames: number;
}

export const DEFAULT_RATE = 16000;

/** The start-up failure when `mic` meets a binary that ignores --mic and writes one channel. */
export const MIC_UNKNOWN = "this audiotap binary does not know --mic: its output is not two channels";
const DEFAULT_STOP_TIMEOUT_MS = 3000;
const isObjectLike = (v: unknown): v is Record<string, unknown> => typeof v === "object" && v !== null;

const live = new Set<Capture>();
let exitHookInstalled = false;

function installExitHook(): void {
  if (exitHookInstalled) return;
  exitHookInstalled = true;
  // Only synchronous work is possible here. The process finishes its own
  // teardown after we are gone; SIGTERM also covers one still starting up,
  // which does not watch stdin yet (on Windows it would kill: stdin alone).
  process.on("exit", () => {
    for (const capture of live) capture.abandon();
  });
}

export interface Capture {
  on(event: "ready", listener: (e: ReadyEvent) => void): this;
  on(event: "level", listener: (e: LevelEvent) => void): this;
  on(event: "error", listener: (e: ErrorEvent) => void): this;
  on(event: "device", listener: (e: DeviceEvent) => void): this;
  on(event: "stopped", listener: (e: StoppedEvent) => void): this;
  on(event: "exit", listener: (e: ExitInfo) => void): this;
  on(event: "event", listener: (e: RawEvent) => void): this;
  on(event: "warning", listener: (w: Warning) => void): this;
  once(event: "ready", listener: (e: ReadyEvent) => void): this;
  once(event: "level", listener: (e: LevelEvent) => void): this;
  once(event: "error", listener: (e: ErrorEvent) => void): this;
  once(event: "device", listener: (e: DeviceEvent) => void): this;
  once(event: "stopped", listener: (e: StoppedEvent) => void): this;
  once(event: "exit", listener: (e: ExitInfo) => void): this;
  once(event: "event", listener: (e: RawEvent) => void): this;
  once(event: "warning", listener: (w: Warning) => void): this;
}

/** One running capture process. Made by start(). */
export class Capture extends EventEmitter {
  /** Whole frames of 16-bit little-endian samples at `rate`: one sample each, or [system, microphone] with `mic`. */
  readonly pcm: PcmStream;
  /** Resolves with the "ready" event; rejects with a StartError when start-up fails. */
  readonly ready: Promise<ReadyEvent>;
  /** Resolves once the process has exited and its output has been read. */
  readonly exited: Promise<ExitInfo>;
  readonly binaryPath: string;
  readonly rate: number;
  /** Samples per frame of `pcm`: 1, or 2 with `mic`. */
  readonly channels: number;

  private readonly child: ChildProcess;
  private settleReady!: { resolve: (e: ReadyEvent) => void; reject: (e: StartError) => void };
  private markExited!: (info: ExitInfo) => void;
  private isReady = false;
  private finished = false;
  private spawnError: Error | null = null;
  // An "error" before "ready" is a run-time error when "ready" follows, the
  // start-up failure when the process exits instead: nothing orders run-time
  // events against "ready".
  private heldErrors: ErrorEvent[] = [];
  private stoppedFrames: number | null = null;
  private exitInfo: ExitInfo | null = null;
  private stopping: Promise<StopResult> | null = null;
  // Why a "ready" was not taken as the start: the stream is not what was asked for.
  private refusal: string | null = null;

  constructor(binaryPath: string, args: string[], options: StartOptions) {
    super();
    this.binaryPath = binaryPath;
    this.rate = options.rate ?? DEFAULT_RATE;
    this.channels = options.mic ? 2 : 1;
    this.pcm = new PcmStream({
      sampleRate: this.rate,
      channels: this.channels,
      chunkMs: options.chunkMs,
      maxBufferedMs: options.maxBufferedMs,
    });
    this.ready = new Promise<ReadyEvent>((resolve, reject) => {
      this.settleReady = { resolve, reject };
    });
    // A host that only listens to events must not crash on an unawaited rejection.
    this.ready.catch(() => undefined);
    this.exited = new Promise<ExitInfo>((resolve) => {
      this.markExited = resolve;
    });

    this.child = spawn(binaryPath, args, {
      stdio: ["pipe", "pipe", "pipe"],
      env: options.env ?? process.env,
      windowsHide: true,
    });
    this.wire();
    if (options.stopOnExit !== false) {
      installExitHook();
      live.add(this);
    }
  }

  get pid(): number | undefined {
    return this.child.pid;
  }

  /** Frames (samples, without mic) the bounded mode has dropped so far. */
  get droppedFrames(): number {
    return this.pcm.droppedFrames;
  }

  /**
   * Stops the capture: closes its stdin (the portable graceful stop), sends
   * SIGTERM if it has not exited after timeoutMs, and SIGKILL after another
   * timeoutMs; on Windows, kills it after timeoutMs. Idempotent: every call
   * returns the same promise.
   */
  stop(options: StopOptions = {}): Promise<StopResult> {
    if (this.stopping === null) {
      const timeoutMs = options.timeoutMs ?? DEFAULT_STOP_TIMEOUT_MS;
      if (!(timeoutMs >= 0)) throw new RangeError(`timeoutMs must be 0 or more, got ${timeoutMs}`);
      this.stopping = this.runStop(timeoutMs);
    }
    return this.stopping;
  }

  /** @internal Host exit: fire and forget. */
  abandon(): void {
    if (this.finished) return;
    this.child.stdin?.destroy();
    if (stopSteps().includes("SIGTERM")) this.child.kill("SIGTERM");
  }

  private async runStop(timeoutMs: number): Promise<StopResult> {
    let stoppedBy: StopResult["stoppedBy"] = "exited";
    if (!this.finished) {
      // A paused pipe could hold the process in a write and keep it from stopping.
      this.pcm.releaseSource();
      stoppedBy = "stdin";
      this.child.stdin?.end();
      for (const step of stopSteps()) {
        if (await this.exitedWithin(timeoutMs)) break;
        stoppedBy = step;
        this.child.kill(step);
      }
    }
    const info = await this.exited;
    return { ...info, frames: this.stoppedFrames, stoppedBy, droppedFrames: this.pcm.droppedFrames };
  }

  private exitedWithin(ms: number): Promise<boolean> {
    return new Promise((resolve) => {
      const timer = setTimeout(() => resolve(false), ms);
      this.exited.then(() => {
        clearTimeout(timer);
        resolve(true);
      });
    });
  }

  private wire(): void {
    const { child } = this;
    child.on("error", (err) => {
      if (child.pid === undefined) {
        this.spawnError = err;
        this.finish(null, null);
      } else {
        this.emit("warning", { reason: "process", detail: err.message });
      }
    });
    // EPIPE when the process is gone before we close its stdin.
    child.stdin?.on("error", () => undefined);

    const stdout = child.stdout;
    if (stdout) {
      this.pcm.attach(stdout);
      stdout.on("data", (data: Buffer) => this.pcm.write(data));
      stdout.on("end", () => this.endPcm());
    }

    const stderr = child.stderr;
    if (stderr) {
      const lines = new LineSplitter();
      stderr.on("data", (data: Buffer) => {
        for (const line of lines.push(data)) this.handleLine(line);
      });
      stderr.on("end", () => {
        for (const line of lines.end()) this.handleLine(line);
      });
    }

    // The pipe holds at most its own size now; let it drain so that "close" comes.
    child.on("exit", () => this.pcm.releaseSource());
    child.on("close", (code: number | null, signal: NodeJS.Signals | null) => this.finish(code, signal));
  }

  private endPcm(): void {
    const discarded = this.pcm.finish();
    if (discarded > 0) {
      this.emit("warning", {
        reason: "partial-sample",
        detail: `the PCM stream ended ${discarded} byte(s) into a ${this.channels === 1 ? "sample" : "frame"}; discarded`,
      });
    }
  }

  private handleLine(line: string): void {
    const parsed = parseEventLine(line);
    if (parsed.kind === "blank") return;
    if (parsed.kind === "warning") {
      this.emit("warning", parsed.warning);
      return;
    }
    if (parsed.warning) this.emit("warning", parsed.warning);
    this.emit("event", parsed.raw);
    // A "ready" whose fields do not check out still means the capture runs.
    const ev = parsed.known ?? (parsed.raw.type === "ready" ? (parsed.raw as unknown as ReadyEvent) : undefined);
    if (!ev) return;
    switch (ev.type) {
      case "ready":
        if (!this.isReady && this.refusal === null) this.refusal = this.refuse(ev);
        if (this.refusal !== null) {
          void this.stop();
          return;
        }
        if (!this.isReady) {
          this.isReady = true;
          this.settleReady.resolve(ev);
        }
        this.emit("ready", ev);
        for (const held of this.heldErrors.splice(0)) this.emitError(held);
        break;
      case "level":
        this.emit("level", ev);
        break;
      case "device":
        this.emit("device", ev);
        break;
      case "error":
        if (this.isReady) this.emitError(ev);
        else this.heldErrors.push(ev);
        break;
      case "stopped":
        this.stoppedFrames = ev.frames;
        this.emit("stopped", ev);
        break;
    }
  }

  // A binary older than --mic ignores it and writes one channel, which read as frames of two would be noise.
  private refuse(ev: ReadyEvent): string | null {
    const got = isObjectLike(ev.outputFormat) ? ev.outputFormat.channels : undefined;
    if (this.channels === 1 || got === this.channels) return null;
    return MIC_UNKNOWN;
  }

  private emitError(ev: ErrorEvent): void {
    // EventEmitter throws an "error" that nobody listens to.
    if (this.listenerCount("error") > 0) {
      this.emit("error", ev);
    } else {
      this.emit("warning", { reason: "unhandled-error-event", detail: ev.message });
    }
  }

  private finish(exitCode: number | null, signal: NodeJS.Signals | null): void {
    if (this.finished) return;
    this.finished = true;
    live.delete(this);
    this.exitInfo = { exitCode, signal };
    this.endPcm();
    if (!this.isReady) this.settleReady.reject(this.startError(exitCode, signal));
    this.emit("exit", this.exitInfo);
    this.markExited(this.exitInfo);
  }

  private startError(exitCode: number | null, signal: NodeJS.Signals | null): StartError {
    if (this.spawnError) {
      return new StartError(`could not start ${this.binaryPath}: ${this.spawnError.message}`, {
        exitCode,
        signal,
        cause: this.spawnError,
      });
    }
    if (this.refusal !== null) {
      for (const held of this.heldErrors.splice(0)) this.emitError(held);
      return new StartError(this.refusal, { exitCode, signal });
    }
    const failure = this.heldErrors.pop();
    for (const held of this.heldErrors.splice(0)) this.emitError(held);
    if (failure) {
      return new StartError(failure.message, {
        status: failure.status,
        code: failure.code,
        exitCode,
        signal,
      });
    }
    const how = signal ? `was killed by ${signal}` : `exited with status ${exitCode}`;
    return new StartError(`the capture process ${how} before it was ready`, { exitCode, signal });
  }
}

/** Starts a capture process. Throws only on invalid options; start-up failures reject `ready`. */
export function start(options: StartOptions = {}): Capture {
  if (options.chunkMs !== undefined && !(options.chunkMs > 0)) {
    throw new RangeError(`chunkMs must be more than 0, got ${options.chunkMs}`);
  }
  if (options.maxBufferedMs !== undefined && !(options.maxBufferedMs > 0)) {
    throw new RangeError(`maxBufferedMs must be more than 0, got ${options.maxBufferedMs}`);
  }
  const args = buildArgs(options);
  const binaryPath = resolveBinary({
    binaryPath: options.binaryPath,
    env: process.env,
    platform: process.platform,
    arch: process.arch,
    packageRoot: path.resolve(__dirname, "..", ".."),
    resolvePackage: require.resolve,
  });
  return new Capture(binaryPath, args, options);
}
