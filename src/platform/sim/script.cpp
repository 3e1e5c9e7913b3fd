#include "platform/sim/script.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace audiotap::platform::sim {
namespace {

std::string_view trim(std::string_view text) {
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

template <class T>
std::optional<T> parseInteger(std::string_view text, int base = 10) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<double> parseNumber(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

bool parseFormat(std::string_view text, ToneFormat* format) {
  const auto parts = split(text, ',');
  if (parts.size() < 3 || parts.size() > 5) return false;
  const auto rate = parseNumber(parts[0]);
  const auto channels = parseInteger<std::uint32_t>(parts[1]);
  const auto bytesPerFrame = parseInteger<std::uint32_t>(parts[2]);
  if (!rate || *rate <= 0 || !channels || *channels == 0 || *channels > 64 || !bytesPerFrame) return false;
  ToneFormat parsed;
  parsed.sampleRate = *rate;
  parsed.channels = *channels;
  parsed.bytesPerFrame = *bytesPerFrame;
  bool typeSeen = false;
  bool layoutSeen = false;
  for (std::size_t i = 3; i < parts.size(); ++i) {
    if (!typeSeen && (parts[i] == "float" || parts[i] == "int16")) {
      parsed.sampleType = parts[i] == "float" ? SampleType::Float32 : SampleType::Int16;
      typeSeen = true;
    } else if (!layoutSeen && (parts[i] == "interleaved" || parts[i] == "planar")) {
      parsed.interleaved = parts[i] == "interleaved";
      layoutSeen = true;
    } else {
      return false;
    }
  }
  *format = parsed;
  return true;
}

bool parseOdd(std::string_view text, std::vector<OddBuffer>* odd) {
  std::vector<OddBuffer> parsed;
  for (const auto part : split(text, ',')) {
    if (part == "none") {
      parsed.push_back(OddBuffer::None);
    } else if (part == "empty") {
      parsed.push_back(OddBuffer::Empty);
    } else if (part == "short") {
      parsed.push_back(OddBuffer::Short);
    } else {
      return false;
    }
  }
  *odd = std::move(parsed);
  return true;
}

bool parseProcesses(std::string_view text, std::vector<SimProcess>* processes) {
  std::vector<SimProcess> parsed;
  for (const auto entry : split(text, ',')) {
    const auto fields = split(entry, ':');
    if (fields.size() < 2 || fields.size() > 5) return false;
    SimProcess process;
    const auto pid = parseInteger<int>(fields[0]);
    const auto parent = parseInteger<int>(fields[1]);
    if (!pid || *pid <= 0 || !parent || *parent < 0) return false;
    process.pid = *pid;
    process.parent = *parent;
    const std::optional<double> numbers[] = {fields.size() > 2 ? parseNumber(fields[2]) : 0.0,
                                             fields.size() > 3 ? parseNumber(fields[3]) : 0.0,
                                             fields.size() > 4 ? parseNumber(fields[4]) : 1e300};
    for (const auto& number : numbers) {
      if (!number || *number < 0) return false;
    }
    process.hz = *numbers[0];
    process.fromMs = *numbers[1];
    process.untilMs = *numbers[2];
    parsed.push_back(process);
  }
  *processes = std::move(parsed);
  return true;
}

bool parseRunning(std::string_view text, Script& s) {
  std::vector<int> pids;
  bool self = false;
  for (const auto entry : split(text, ',')) {
    const auto pid = parseInteger<int>(entry);
    if (entry == "self") {
      self = true;
    } else if (pid && *pid > 0) {
      pids.push_back(*pid);
    } else if (!text.empty()) {
      return false;
    }
  }
  s.runningOutput = std::move(pids);
  s.selfRunsOutput = self;
  return true;
}

bool assignStatus(std::string_view text, OSStatus* status) {
  const auto parsed = parseStatus(text);
  if (parsed) *status = *parsed;
  return parsed.has_value();
}

bool assignID(std::string_view text, AudioObjectID* id) {
  const auto parsed = parseInteger<AudioObjectID>(text);
  if (parsed) *id = *parsed;
  return parsed.has_value();
}

// Splits `count:message`; the message may hold further colons.
bool assignCountAndMessage(std::string_view text, std::optional<std::uint64_t>* count, std::string* message) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  const auto parsed = parseInteger<std::uint64_t>(text.substr(0, colon));
  if (!parsed) return false;
  *count = *parsed;
  *message = std::string(text.substr(colon + 1));
  return true;
}

bool parseSwitch(std::string_view text, std::vector<DeviceSwitch>* switches) {
  DeviceSwitch parsed;
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  const auto after = parseInteger<std::uint64_t>(text.substr(0, colon));
  if (!after) return false;
  parsed.after = *after;
  text.remove_prefix(colon + 1);
  // The message may hold colons of its own.
  constexpr std::string_view kLost = ":lost=";
  if (const auto lost = text.find(kLost); lost != std::string_view::npos) {
    parsed.lostMessage = std::string(text.substr(lost + kLost.size()));
    text = text.substr(0, lost);
  }
  constexpr std::string_view kDies = ":dies";
  if (text.size() > kDies.size() && text.substr(text.size() - kDies.size()) == kDies) {
    parsed.dies = true;
    text.remove_suffix(kDies.size());
  }
  const auto split = text.find(':');
  parsed.uid = std::string(text.substr(0, split));
  if (parsed.uid.empty()) return false;
  if (split != std::string_view::npos) {
    ToneFormat format;
    if (!parseFormat(text.substr(split + 1), &format)) return false;
    parsed.format = format;
  }
  switches->push_back(std::move(parsed));
  return true;
}

bool assignCount(std::string_view text, std::optional<std::uint64_t>* count) {
  const auto parsed = parseInteger<std::uint64_t>(text);
  if (parsed) *count = *parsed;
  return parsed.has_value();
}

// Splits `count:rest`.
bool splitCount(std::string_view text, std::optional<std::uint64_t>* count, std::string_view* rest) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos || !assignCount(text.substr(0, colon), count)) return false;
  *rest = text.substr(colon + 1);
  return true;
}

bool apply(std::string_view key, std::string_view value, Script& s) {
  if (key == "trace") {
    s.tracePath = std::string(value);
    return !value.empty();
  }
  if (key == "device") return assignStatus(value, &s.deviceStatus);
  if (key == "device.id") return assignID(value, &s.deviceID);
  if (key == "uid") return assignStatus(value, &s.uidStatus);
  if (key == "uid.ref") {
    s.uidLeavesReference = false;
    return value == "none";
  }
  if (key == "uid.value") {
    s.uidValue = std::string(value);
    return true;
  }
  if (key == "tap") return assignStatus(value, &s.tapStatus);
  if (key == "tap.id") return assignID(value, &s.tapID);
  if (key == "aggregate") return assignStatus(value, &s.aggregateStatus);
  if (key == "aggregate.id") return assignID(value, &s.aggregateID);
  if (key == "tfmt") return assignStatus(value, &s.formatStatus);
  if (key == "format") return parseFormat(value, &s.format);
  if (key == "media") {
    if (value == "tapformat")
      s.mediaFailure = MediaFailure::TapFormat;
    else if (value == "outputformat")
      s.mediaFailure = MediaFailure::OutputFormat;
    else if (value == "converter")
      s.mediaFailure = MediaFailure::Converter;
    else
      return false;
    return true;
  }
  if (key == "ioproc") return assignStatus(value, &s.ioprocStatus);
  if (key == "ioproc.id") {
    s.ioprocYieldsID = false;
    return value == "none";
  }
  if (key == "start") return assignStatus(value, &s.startStatus);
  if (key == "tone") {
    const auto hz = parseNumber(value);
    if (!hz || *hz < 0) return false;
    s.toneHz = *hz;
    return true;
  }
  if (key == "amp") {
    const auto amplitude = parseNumber(value);
    if (!amplitude || *amplitude < 0 || *amplitude > 1) return false;
    s.amplitude = *amplitude;
    return true;
  }
  if (key == "frames") {
    const auto frames = parseInteger<std::uint32_t>(value);
    if (!frames || *frames == 0 || *frames > (1u << 20)) return false;
    s.framesPerBuffer = *frames;
    return true;
  }
  if (key == "count") {
    const auto count = parseInteger<std::uint64_t>(value);
    if (count) s.bufferCount = *count;
    return count.has_value();
  }
  if (key == "pace") {
    if (value != "realtime" && value != "fast") return false;
    s.realtime = value == "realtime";
    return true;
  }
  if (key == "odd") return parseOdd(value, &s.odd);
  if (key == "convert") {
    if (value == "noframes") {
      s.convert = ConvertOutcome::NoFrames;
    } else if (value == "randry") {
      s.convert = ConvertOutcome::RanDry;
    } else if (value.substr(0, 6) == "error:") {
      s.convert = ConvertOutcome::Error;
      s.convertMessage = std::string(value.substr(6));
    } else {
      return false;
    }
    return true;
  }
  if (key == "lose") return assignCountAndMessage(value, &s.loseAfter, &s.loseMessage);
  if (key == "switch") return parseSwitch(value, &s.switches);
  if (key == "listen") return assignStatus(value, &s.listenStatus);
  if (key == "gone") {
    const auto gone = parseInteger<std::uint32_t>(value);
    if (gone) s.gone = *gone;
    return gone.has_value();
  }
  if (key == "streams") {
    s.streams.clear();
    for (const auto part : split(value, ',')) {
      const auto streams = parseInteger<std::uint32_t>(part);
      if (!streams || *streams == 0 || *streams > 8) return false;
      s.streams.push_back(*streams);
    }
    return true;
  }
  if (key == "restart") return assignCount(value, &s.restartAfter);
  if (key == "blip") return assignCount(value, &s.blipAfter);
  std::string_view rest;
  if (key == "die") {
    if (!splitCount(value, &s.dieAfter, &rest)) return false;
    const auto colon = rest.find(':');
    if (colon != std::string_view::npos && !assignStatus(rest.substr(colon + 1), &s.deadReadStatus))
      return false;
    rest = rest.substr(0, colon);
    if (rest != "device" && rest != "aggregate") return false;
    s.aggregateDies = rest == "aggregate";
    return true;
  }
  if (key == "stall") return assignCount(value, &s.stallAfter);
  if (key == "piro") return parseRunning(value, s);
  if (key == "reformat") return splitCount(value, &s.reformatAfter, &rest) && parseFormat(rest, &s.reformat);
  if (key == "mismatch") {
    std::optional<std::uint64_t> from, count;
    if (!splitCount(value, &from, &rest) || !assignCount(rest, &count)) return false;
    s.mismatchFrom = *from;
    s.mismatchCount = *count;
    return true;
  }
  if (key == "procs") return parseProcesses(value, &s.processes);
  if (key == "hidden") {
    for (const auto entry : split(value, ',')) {
      const auto pid = parseInteger<int>(entry);
      if (!pid || *pid <= 0) return false;
      s.hidden.push_back(*pid);
    }
    return !s.hidden.empty();
  }
  if (key == "prs") return assignStatus(value, &s.processListStatus);
  if (key == "tdsc") return assignStatus(value, &s.tapUpdateStatus);
  if (key == "mic") {
    s.microphone = value != "none";
    s.microphoneDenied = value == "denied";
    return value == "none" || value == "denied" || assignStatus(value, &s.microphoneStatus);
  }
  if (key == "mic.uid") {
    s.microphoneUID = std::string(value);
    return !value.empty();
  }
  if (key == "mic.format") {
    const auto parts = split(value, ',');
    if (parts.size() != 2) return false;
    const auto rate = parseNumber(parts[0]);
    const auto channels = parseInteger<std::uint32_t>(parts[1]);
    if (!rate || *rate <= 0 || !channels || *channels == 0 || *channels > 8) return false;
    s.microphoneRate = *rate;
    s.microphoneChannels = *channels;
    return true;
  }
  if (key == "mic.tone") {
    const auto hz = parseNumber(value);
    if (!hz || *hz < 0) return false;
    s.microphoneHz = *hz;
    return true;
  }
  if (key == "mic.amp") {
    const auto amplitude = parseNumber(value);
    if (!amplitude || *amplitude < 0 || *amplitude > 1) return false;
    s.microphoneAmplitude = *amplitude;
    return true;
  }
  if (key == "mic.lose") return assignCount(value, &s.microphoneLoseAfter);
  if (key == "mic.switch") {
    return assignCountAndMessage(value, &s.microphoneSwitchAfter, &s.microphoneSwitchUID) &&
           !s.microphoneSwitchUID.empty();
  }
  if (key == "mixdown") {
    s.mixdownYieldsDescription = false;
    return value == "none";
  }
  return false;
}

}  // namespace

std::optional<OSStatus> parseStatus(std::string_view text) {
  if (text.size() == 6 && text.front() == '\'' && text.back() == '\'') {
    std::uint32_t code = 0;
    for (std::size_t i = 1; i < 5; ++i) code = (code << 8) | std::uint8_t(text[i]);
    return OSStatus(code);
  }
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    const auto code = parseInteger<std::uint32_t>(text.substr(2), 16);
    if (!code) return std::nullopt;
    return OSStatus(*code);
  }
  return parseInteger<OSStatus>(text);
}

ParseResult parseScript(std::string_view text) {
  Script script;
  for (const auto raw : split(text, ';')) {
    const auto entry = trim(raw);
    if (entry.empty()) continue;
    const auto equals = entry.find('=');
    if (equals == std::string_view::npos ||
        !apply(entry.substr(0, equals), entry.substr(equals + 1), script)) {
      return {std::nullopt, std::string(entry)};
    }
  }
  return {std::move(script), {}};
}

}  // namespace audiotap::platform::sim
