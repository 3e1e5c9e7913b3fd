import { StringDecoder } from "node:string_decoder";

export interface TapFormat {
  sampleRate: number;
  channels: number;
}

export interface OutputFormat {
  sampleRate: number;
  /** 1; 2 with `mic` (frames of [system, microphone]). */
  channels: number;
  bits: number;
}

export interface ReadyEvent {
  type: "ready";
  tapFormat: TapFormat;
  outputFormat: OutputFormat;
  outputDeviceUID: string;
  /** The binary's version, for a host to log what it runs. */
  version: string;
  /** The PIDs of the include option, as given; only when it was used. */
  include?: number[];
  /** The PIDs of the exclude options (excludeSelf's included), as given; only when used. */
  exclude?: number[];
  /** With `mic`: what each channel of a frame holds, `["system", "microphone"]`. */
  channels?: string[];
  /** With `mic`: the input device captured as the microphone. */
  inputDeviceUID?: string;
}

export interface LevelEvent {
  type: "level";
  /** Loudest sample since the previous "level" event, from 0 to 1. */
  peak: number;
  /** Samples written to the PCM stream since start, a running total. */
  frames: number;
  /** With `mic`: the loudest sample of each channel, `[system, microphone]`; `peak` is the louder. */
  peaks?: number[];
}

export interface ErrorEvent {
  type: "error";
  message: string;
  /** Present on start-up failures of a platform call. */
  status?: number;
  /** The status as four characters, or its decimal text. */
  code?: string;
}

/**
 * The capture moved to another output device, or with `mic` to another input device (followOutput); the time
 * the move took is silence in the PCM.
 */
export interface DeviceEvent {
  type: "device";
  outputDeviceUID: string;
  tapFormat: TapFormat;
  /** With `mic`: the microphone captured from now on; absent when there is none beside the new output. */
  inputDeviceUID?: string;
}

export interface StoppedEvent {
  type: "stopped";
  frames: number;
}

export type KnownEvent = ReadyEvent | LevelEvent | ErrorEvent | DeviceEvent | StoppedEvent;

/** Any well-formed event line, known or not. */
export interface RawEvent {
  type: string;
  [key: string]: unknown;
}

export interface Warning {
  reason: "malformed-line" | "bad-fields" | "partial-sample" | "unhandled-error-event" | "process";
  detail: string;
  line?: string;
}

export type ParsedLine =
  | { kind: "event"; raw: RawEvent; known?: KnownEvent; warning?: Warning }
  | { kind: "warning"; warning: Warning }
  | { kind: "blank" };

const isNumber = (v: unknown): v is number => typeof v === "number" && Number.isFinite(v);
const isObject = (v: unknown): v is Record<string, unknown> =>
  typeof v === "object" && v !== null && !Array.isArray(v);
const isListOf = (v: unknown, item: (x: unknown) => boolean): boolean => Array.isArray(v) && v.every(item);
const isString = (v: unknown): boolean => typeof v === "string";

// Returns the name of the first field that does not fit, or null.
function badField(ev: RawEvent): string | null {
  switch (ev.type) {
    case "ready": {
      const tap = ev.tapFormat;
      const out = ev.outputFormat;
      if (!isObject(tap) || !isNumber(tap.sampleRate) || !isNumber(tap.channels)) return "tapFormat";
      if (!isObject(out) || !isNumber(out.sampleRate) || !isNumber(out.channels) || !isNumber(out.bits)) {
        return "outputFormat";
      }
      if (typeof ev.outputDeviceUID !== "string") return "outputDeviceUID";
      if (ev.channels !== undefined && !isListOf(ev.channels, isString)) return "channels";
      if (ev.inputDeviceUID !== undefined && typeof ev.inputDeviceUID !== "string") return "inputDeviceUID";
      return typeof ev.version === "string" ? null : "version";
    }
    case "level":
      if (!isNumber(ev.peak)) return "peak";
      if (ev.peaks !== undefined && !isListOf(ev.peaks, isNumber)) return "peaks";
      return isNumber(ev.frames) ? null : "frames";
    case "error":
      if (typeof ev.message !== "string") return "message";
      if (ev.status !== undefined && !isNumber(ev.status)) return "status";
      return ev.code === undefined || typeof ev.code === "string" ? null : "code";
    case "device": {
      const tap = ev.tapFormat;
      if (typeof ev.outputDeviceUID !== "string") return "outputDeviceUID";
      if (ev.inputDeviceUID !== undefined && typeof ev.inputDeviceUID !== "string") return "inputDeviceUID";
      return isObject(tap) && isNumber(tap.sampleRate) && isNumber(tap.channels) ? null : "tapFormat";
    }
    case "stopped":
      return isNumber(ev.frames) ? null : "frames";
    default:
      return null;
  }
}

const KNOWN_TYPES = new Set(["ready", "level", "error", "device", "stopped"]);

export function parseEventLine(line: string): ParsedLine {
  const text = line.endsWith("\r") ? line.slice(0, -1) : line;
  if (text.trim() === "") return { kind: "blank" };
  let value: unknown;
  try {
    value = JSON.parse(text);
  } catch (e) {
    return { kind: "warning", warning: { reason: "malformed-line", detail: (e as Error).message, line } };
  }
  if (!isObject(value) || typeof value.type !== "string") {
    return {
      kind: "warning",
      warning: { reason: "malformed-line", detail: "not an object with a string \"type\"", line },
    };
  }
  const raw = value as RawEvent;
  if (!KNOWN_TYPES.has(raw.type)) return { kind: "event", raw };
  const bad = badField(raw);
  if (bad !== null) {
    return {
      kind: "event",
      raw,
      warning: { reason: "bad-fields", detail: `"${raw.type}" event with a bad "${bad}"`, line },
    };
  }
  return { kind: "event", raw, known: raw as unknown as KnownEvent };
}

/**
 * Splits a byte stream into lines. UTF-8 sequences split across chunks are
 * kept whole (the tap failure message holds an em dash).
 */
export class LineSplitter {
  private readonly decoder = new StringDecoder("utf8");
  private pending = "";

  push(chunk: Buffer | string): string[] {
    this.pending += typeof chunk === "string" ? chunk : this.decoder.write(chunk);
    const parts = this.pending.split("\n");
    this.pending = parts.pop() ?? "";
    return parts;
  }

  /** The unterminated rest, if any, once the stream has ended. */
  end(): string[] {
    const rest = this.pending + this.decoder.end();
    this.pending = "";
    return rest === "" ? [] : [rest];
  }
}
