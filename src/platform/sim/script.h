// The simulator's script: one environment variable, AUDIOTAP_SIM, of entries
// `key=value` separated by ';'. Every key is optional; the defaults describe a
// healthy machine that plays a 1 kHz sine at half scale for ever.
//
//   trace=<path>          append one line per platform call to this file
//   device=<status>       'dOut' read status           device.id=<n> (73; 0: none)
//   uid=<status>          'uid ' read status           uid.ref=none  uid.value=<text>
//   tap=<status>          tap.id=<n> (91; 0: none)
//   aggregate=<status>    aggregate.id=<n> (92; 0: none)
//   tfmt=<status>         'tfmt' read status
//   format=<rate>,<channels>,<bytesPerFrame>[,float|int16][,interleaved|planar]
//   media=tapformat|outputformat|converter   that construction yields nothing
//   ioproc=<status>       ioproc.id=none
//   start=<status>
//   tone=<Hz> amp=<0..1> frames=<per buffer> pace=realtime|fast
//   count=<buffers>       of each device that does not switch away first
//   odd=none,empty,short  odd buffer lists delivered before the tone
//   convert=error:<message>|noframes|randry
//   lose=<buffers>:<message>
//   switch=<buffers>:<uid>[:<format>][:dies][:lost=<message>]   repeatable:
//                         after that many buffers of the device captured
//                         then, the default output device becomes a new one
//                         (IDs 74, 75, ... in order) with that UID and tap
//                         format (the previous one's when not given) and
//                         'dOut' fires; the old device delivers nothing more.
//                         With dies its 'livn' turns 0 and fires; with lost=
//                         it is also reported lost with that message
//   listen=<status>       what adding a property listener answers (0)
//   gone=<n>              'gone' (running somewhere) of the output device (0)
//   streams=<n>[,<n>...]  the aggregate device's input streams ('stm#'), 1 to
//                         8 (1), for each device in the order they become the
//                         default (the last for the rest): every list of the
//                         tone carries n - 1 microphone-like streams of noise
//                         first, the tap's last
//   mic=none|denied|<status>   the default input device ('dIn ', ID 81): none
//                         reads 0 (no microphone); denied: it delivers exact
//                         zeros, as a microphone the host app may not use; a
//                         status: what reading 'dIn ' answers (0)
//   mic.uid=<text>        its UID (SimMicrophone)
//   mic.format=<rate>,<channels>   its one input stream, 32-bit float
//                         (48000,1). An aggregate device that lists it among
//                         its sub-devices carries it at the tap's rate, one
//                         interleaved buffer of its channels just before the
//                         tap's, the same frames as the tap's
//   mic.tone=<Hz> mic.amp=<0..1>   the sine it hears (440, 0.25), on the
//                         phase clock of the tap's tone
//
// After the given number of buffers (counted like lose=):
//   restart=<buffers>     the audio system restarts, once: 'srst' fires, every
//                         listener on the system object is dropped (never
//                         fires again), audio ends
//   die=<buffers>:device|aggregate[:<status>]   'livn' of that object turns 0
//                         and fires, audio ends; with a status, reading 'livn'
//                         then fails with it
//   stall=<buffers>       once: the device delivers nothing more, and nothing
//                         fires
//   blip=<buffers>        'livn' of the output device fires, still 1
//   reformat=<buffers>:<format>   the tap's format becomes <format> (as for
//                         format=) and 'tfmt' fires; the next buffer, in the
//                         new format, waits until the format has been read
//                         again (at most 2 s) and 100 ms more
//   mismatch=<buffers>:<count>   that many buffers come with one channel more
//                         per buffer than the format says
//   procs=<pid>:<parent>[:<Hz>[:<from ms>[:<until ms>]]],...   a process table;
//                         with it the device plays the tones of the processes
//                         the tap covers (Hz 0: plays nothing), each at amp,
//                         and a process lives from..until, in ms since start
//                         (audiotap itself is process 9999, child of 1, an
//                         audio client that plays nothing)
//   hidden=<pid>,...      processes that run but whose parent cannot be read
//                         (another user's): no listing of the table has them
//   piro=[<pid>|self],... the audio clients whose 'piro' (running output)
//                         reads 1 (default: every one but audiotap itself);
//                         self: audiotap itself (9999) runs output too
//   mic.switch=<buffers>:<uid>   a second input device (ID 82, that UID, the
//                         same format and tone) becomes the default, once,
//                         and 'dIn ' fires; the first one lives on
//   mic.lose=<buffers>    the input device dies: its 'livn' turns 0 and fires,
//                         its stream leaves the aggregate device's lists and
//                         'stm#' of the aggregate device fires; audio goes on
//   prs=<status>          'prs#' reads      tdsc=<status>   tap updates
//   mixdown=none          initMonoMixdownOfProcesses yields nothing
//
// A status is a signed 32-bit decimal, 0x-hex, or four characters in single
// quotes ('nope').
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace audiotap::platform::sim {

using platform::AudioObjectID;
using platform::OSStatus;

enum class SampleType { Float32, Int16 };
enum class OddBuffer { None, Empty, Short };
enum class MediaFailure { None, TapFormat, OutputFormat, Converter };
enum class ConvertOutcome { Normal, Error, NoFrames, RanDry };

struct ToneFormat {
  double sampleRate = 48000;
  std::uint32_t channels = 1;
  std::uint32_t bytesPerFrame = 4;
  SampleType sampleType = SampleType::Float32;
  bool interleaved = true;
};

struct SimProcess {
  int pid = 0;
  int parent = 0;
  double hz = 0;
  double fromMs = 0;
  double untilMs = 1e300;
};

struct DeviceSwitch {
  std::uint64_t after = 0;
  std::string uid;
  std::optional<ToneFormat> format;
  bool dies = false;
  std::optional<std::string> lostMessage;
};

struct Script {
  std::string tracePath;

  OSStatus deviceStatus = 0;
  AudioObjectID deviceID = 73;
  OSStatus uidStatus = 0;
  bool uidLeavesReference = true;
  std::string uidValue = "SimOutputDevice";

  OSStatus tapStatus = 0;
  AudioObjectID tapID = 91;
  OSStatus aggregateStatus = 0;
  AudioObjectID aggregateID = 92;

  OSStatus formatStatus = 0;
  ToneFormat format;
  MediaFailure mediaFailure = MediaFailure::None;

  OSStatus ioprocStatus = 0;
  bool ioprocYieldsID = true;
  OSStatus startStatus = 0;

  double toneHz = 1000;
  double amplitude = 0.5;
  std::uint32_t framesPerBuffer = 480;
  std::optional<std::uint64_t> bufferCount;  // none: no end
  bool realtime = true;
  std::vector<OddBuffer> odd;

  ConvertOutcome convert = ConvertOutcome::Normal;
  std::string convertMessage;

  std::optional<std::uint64_t> loseAfter;
  std::string loseMessage;

  std::vector<DeviceSwitch> switches;
  OSStatus listenStatus = 0;
  std::uint32_t gone = 0;
  std::vector<std::uint32_t> streams = {1};
  std::optional<std::uint64_t> restartAfter;
  std::optional<std::uint64_t> dieAfter;
  bool aggregateDies = false;  // else the output device
  OSStatus deadReadStatus = 0;
  std::optional<std::uint64_t> stallAfter;
  std::optional<std::uint64_t> blipAfter;
  std::optional<std::uint64_t> reformatAfter;
  ToneFormat reformat;
  std::uint64_t mismatchFrom = 0;
  std::uint64_t mismatchCount = 0;
  std::vector<SimProcess> processes;
  std::vector<int> hidden;
  std::optional<std::vector<int>> runningOutput;  // none: every audio client
  bool selfRunsOutput = false;
  OSStatus processListStatus = 0;
  OSStatus tapUpdateStatus = 0;
  bool mixdownYieldsDescription = true;

  bool microphone = true;
  bool microphoneDenied = false;
  OSStatus microphoneStatus = 0;
  AudioObjectID microphoneID = 81;
  std::string microphoneUID = "SimMicrophone";
  double microphoneRate = 48000;
  std::uint32_t microphoneChannels = 1;
  double microphoneHz = 440;
  double microphoneAmplitude = 0.25;
  std::optional<std::uint64_t> microphoneLoseAfter;
  std::optional<std::uint64_t> microphoneSwitchAfter;
  std::string microphoneSwitchUID;
};

struct ParseResult {
  std::optional<Script> script;
  std::string badEntry;  // the trimmed entry that was refused, when script is empty
};

ParseResult parseScript(std::string_view text);

std::optional<OSStatus> parseStatus(std::string_view text);

}  // namespace audiotap::platform::sim
