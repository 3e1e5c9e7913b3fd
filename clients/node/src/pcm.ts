import { Readable } from "node:stream";

export interface PcmStreamOptions {
  /** Samples per second of the stream (one channel, 16-bit). */
  sampleRate: number;
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

/** Bytes in `ms` milliseconds at `rate`, rounded to whole samples, at least one sample. */
export function bytesForMs(ms: number, rate: number): number {
  return Math.max(1, Math.round((ms * rate) / 1000)) * BYTES_PER_SAMPLE;
}

/**
 * The PCM stream as the host reads it: Buffers of whole signed 16-bit
 * little-endian samples. Pipe reads split samples anywhere; the odd byte is
 * carried over to the next read.
 *
 * Object mode, so that every Buffer reaches the reader as it was cut: a
 * byte-mode Readable joins buffered chunks on read() and would undo the
 * fixed chunk size.
 */
export class PcmStream extends Readable {
  /** Samples thrown away by the bounded mode since start. */
  droppedFrames = 0;

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
    this.chunkBytes = options.chunkMs === undefined ? 0 : bytesForMs(options.chunkMs, options.sampleRate);
    if (bounded) {
      const wanted = bytesForMs(options.maxBufferedMs as number, options.sampleRate);
      const unit = this.chunkBytes || BYTES_PER_SAMPLE;
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
    const unit = this.chunkBytes || BYTES_PER_SAMPLE;
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
   * The source has ended: a short last chunk is delivered; a lone byte
   * that cannot form a sample is discarded. Returns the bytes discarded.
   */
  finish(): number {
    if (this.sourceEnded) return 0;
    this.sourceEnded = true;
    let discarded = 0;
    if (this.carry) {
      discarded = this.carry.length % BYTES_PER_SAMPLE;
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
    this.droppedFrames += dropped / BYTES_PER_SAMPLE;
    this.emit("drop", dropped / BYTES_PER_SAMPLE, this.droppedFrames);
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
