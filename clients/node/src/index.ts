export { Capture, DEFAULT_RATE, ExitInfo, MIC_UNKNOWN, StartOptions, StopOptions, StopResult, start } from "./capture";
export { StartError } from "./errors";
export {
  DeviceEvent,
  ErrorEvent,
  KnownEvent,
  LevelEvent,
  OutputFormat,
  RawEvent,
  ReadyEvent,
  StoppedEvent,
  TapFormat,
  Warning,
} from "./events";
export { PcmStream, splitChannels } from "./pcm";
