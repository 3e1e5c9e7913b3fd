export interface StartErrorDetails {
  status?: number;
  code?: string;
  exitCode: number | null;
  signal: NodeJS.Signals | null;
  cause?: unknown;
}

/** The capture process did not get as far as "ready". */
export class StartError extends Error {
  /** The failing platform call's status, when the process reported one. */
  readonly status?: number;
  /** The status as four characters or as decimal text, when reported. */
  readonly code?: string;
  /** The process's exit status; null when it could not be spawned or died by a signal. */
  readonly exitCode: number | null;
  readonly signal: NodeJS.Signals | null;

  constructor(message: string, details: StartErrorDetails) {
    super(message, details.cause === undefined ? undefined : { cause: details.cause });
    this.name = "StartError";
    if (details.status !== undefined) this.status = details.status;
    if (details.code !== undefined) this.code = details.code;
    this.exitCode = details.exitCode;
    this.signal = details.signal;
  }
}
