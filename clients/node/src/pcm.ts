import { Readable } from "node:stream";

export interface PcmStreamOptions {
  /** Frames per second of the stream (16-bit samples). */
  sampleRate: number;
  /** Samples per frame: 1, or 2 with the microphone ([system, microphone]). Default 1. */
  channels?: number;
  /** Deliver Buffers of exactly this many milliseconds (the last one may be shorter). */
  chunkMs?: number;
  /** Keep at most this much unread audio and drop the oldest beyond it, instead of pausing the capture. */
  maxBufferedMs?: number;
}

export interface PcmSource {
  pause(): unknown;
  resume(): unknown;
}

const BYTES_PER_SAMPLE = 2;

/** Bytes in `ms` milliseconds at `rate`, rounded to whole frames, at least one frame. */
export function bytesForMs(ms: number, rate: number, channels = 1): number {
  return Math.max(1, Math.round((ms * rate) / 1000)) * BYTES_PER_SAMPLE * channels;
}

/** The two channels of a `mic` capture's Buffer of whole frames, each as 16-bit little-endian mono samples. */
export function splitChannels(frames: Buffer): { system: Buffer; microphone: Buffer } {
  if (frames.length % 4 !== 0) {
    throw new RangeError(`splitChannels takes whole 4-byte frames, got ${frames.length} bytes`);
  }
  const system = Buffer.allocUnsafe(frames.length / 2);
  const microphone = Buffer.allocUnsafe(frames.length / 2);
  for (let i = 0, o = 0; i < frames.length; i += 4, o += 2) {
    system[o] = frames[i];
    system[o + 1] = frames[i + 1];
    microphone[o] = frames[i + 2];
    microphone[o + 1] = frames[i + 3];
  }
  return { system, microphone };
}

/**
 * The PCM stream as the host reads it: Buffers of whole frames of signed
 * 16-bit little-endian samples. Pipe reads split frames anywhere; the rest is
 * carried over to the next read.
 *
 * Object mode, so that every Buffer reaches the reader as it was cut: a
 * byte-mode Readable joins buffered chunks on read() and would undo the
 * fixed chunk size.
 */
export class PcmStream extends Readable {
  /** Frames thrown away by the bounded mode since start. */
  droppedFrames = 0;

  private readonly frameBytes: number;
  private readonly chunkBytes: number;
  private readonly maxBytes: number;
  private readonly queue: Buffer[] = [];
  private queued = 0;
  private carry: Buffer | null = null;
  private wanting = false;
  private sourceEnded = false;
  private sourcePaused = false;
  private eofPushed = false;
  private source: PcmSource | null = null;

  constructor(options: PcmStreamOptions) {
    const bounded = options.maxBufferedMs !== undefined;
    // Bounded: hold at most one Buffer inside the Readable, since only the
    // queue here can be trimmed.
    super({ objectMode: true, highWaterMark: bounded ? 1 : 16 });
    const channels = options.channels ?? 1;
    this.frameBytes = BYTES_PER_SAMPLE * channels;
    this.chunkBytes = options.chunkMs === undefined ? 0 : bytesForMs(options.chunkMs, options.sampleRate, channels);
    if (bounded) {
      const wanted = bytesForMs(options.maxBufferedMs as number, options.sampleRate, channels);
      const unit = this.chunkBytes || this.frameBytes;
      this.maxBytes = Math.max(unit, Math.ceil(wanted / unit) * unit);
    } else {
      this.maxBytes = Infinity;
    }
  }

  /** The source is paused while the reader lags, unless the stream is bounded. */
  attach(source: PcmSource): void {
    this.source = source;
  }

  /** Bytes not yet delivered that are held here (not counting the Readable's own buffer). */
  get queuedBytes(): number {
    return this.queued;
  }

  write(data: Buffer): void {
    if (this.destroyed || this.sourceEnded || data.length === 0) return;
    let bytes = this.carry ? Buffer.concat([this.carry, data]) : data;
    this.carry = null;
    const unit = this.chunkBytes || this.frameBytes;
    const whole = bytes.length - (bytes.length % unit);
    if (whole < bytes.length) {
      // Copied: the source's buffer may be reused after this call.
      this.carry = Buffer.from(bytes.subarray(whole));
      bytes = bytes.subarray(0, whole);
    }
    if (whole > 0) {
      if (this.chunkBytes === 0) {
        this.enqueue(bytes);
      } else {
        for (let at = 0; at < whole; at += this.chunkBytes) this.enqueue(bytes.subarray(at, at + this.chunkBytes));
      }
      this.trim();
    }
    this.flush();
  }

  /**
   * The source has ended: a short last chunk is delivered; bytes that
   * cannot form a whole frame are discarded. Returns the bytes discarded.
   */
  finish(): number {
    if (this.sourceEnded) return 0;
    this.sourceEnded = true;
    let discarded = 0;
    if (this.carry) {
      discarded = this.carry.length % this.frameBytes;
      const rest = this.carry.subarray(0, this.carry.length - discarded);
      this.carry = null;
      if (rest.length > 0 && !this.destroyed) this.enqueue(rest);
    }
    this.flush();
    return discarded;
  }

  /** From now on the source is never paused (it has exited; what is left in the pipe is bounded). */
  releaseSource(): void {
    if (this.sourcePaused) this.source?.resume();
    this.sourcePaused = false;
    this.source = null;
  }

  override _read(): void {
    this.wanting = true;
    this.flush();
  }

  override _destroy(error: Error | null, callback: (error?: Error | null) => void): void {
    this.queue.length = 0;
    this.queued = 0;
    this.carry = null;
    // The reader is gone; the capture must not stall on a full pipe.
    if (this.sourcePaused) this.source?.resume();
    this.sourcePaused = false;
    callback(error);
  }

  override [Symbol.asyncIterator](): AsyncIterableIterator<Buffer> {
    return super[Symbol.asyncIterator]() as AsyncIterableIterator<Buffer>;
  }

  private enqueue(chunk: Buffer): void {
    this.queue.push(chunk);
    this.queued += chunk.length;
  }

  private trim(): void {
    let excess = this.queued - this.maxBytes;
    if (excess <= 0) return;
    let dropped = 0;
    while (excess > 0 && this.queue.length > 0) {
      const head = this.queue[0];
      if (head.length <= excess) {
        this.queue.shift();
        excess -= head.length;
        dropped += head.length;
      } else {
        this.queue[0] = head.subarray(excess);
        dropped += excess;
        excess = 0;
      }
    }
    this.queued -= dropped;
    this.droppedFrames += dropped / this.frameBytes;
    this.emit("drop", dropped / this.frameBytes, this.droppedFrames);
  }

  private flush(): void {
    while (this.wanting && this.queue.length > 0) {
      const chunk = this.queue.shift() as Buffer;
      this.queued -= chunk.length;
      this.wanting = this.push(chunk);
    }
    if (this.sourceEnded && this.queue.length === 0) {
      if (!this.eofPushed && !this.destroyed) this.push(null);
      this.eofPushed = true;
      return;
    }
    if (this.maxBytes !== Infinity || this.source === null) return;
    const lagging = this.queue.length > 0;
    if (lagging && !this.sourcePaused) {
      this.sourcePaused = true;
      this.source.pause();
    } else if (!lagging && this.sourcePaused) {
      this.sourcePaused = false;
      this.source.resume();
    }
  }
}
