// Plain audio types shared by the core and every backend. Their layout matches
// Core Audio's own records byte for byte, so the macOS backend can pass them
// through without copying.
#pragma once

#include <cstddef>
#include <cstdint>

namespace audiotap::platform {

using AudioObjectID = std::uint32_t;  // 0 means no object
using OSStatus = std::int32_t;        // 0 means success

inline constexpr AudioObjectID kAudioObjectSystemObject = 1;

// A four-character code: the first character is the most significant byte.
constexpr std::uint32_t fourCharCode(const char (&text)[5]) {
  return (std::uint32_t(std::uint8_t(text[0])) << 24) | (std::uint32_t(std::uint8_t(text[1])) << 16) |
         (std::uint32_t(std::uint8_t(text[2])) << 8) | std::uint32_t(std::uint8_t(text[3]));
}

inline constexpr std::uint32_t kAudioObjectPropertyScopeGlobal = fourCharCode("glob");
inline constexpr std::uint32_t kAudioObjectPropertyElementMain = 0;
inline constexpr std::uint32_t kAudioHardwarePropertyDefaultOutputDevice = fourCharCode("dOut");
inline constexpr std::uint32_t kAudioDevicePropertyDeviceUID = fourCharCode("uid ");
inline constexpr std::uint32_t kAudioTapPropertyFormat = fourCharCode("tfmt");
inline constexpr std::uint32_t kAudioTapPropertyDescription = fourCharCode("tdsc");
inline constexpr std::uint32_t kAudioHardwarePropertyServiceRestarted = fourCharCode("srst");
inline constexpr std::uint32_t kAudioHardwarePropertyProcessObjectList = fourCharCode("prs#");
inline constexpr std::uint32_t kAudioHardwarePropertyTranslatePIDToProcessObject = fourCharCode("id2p");
inline constexpr std::uint32_t kAudioProcessPropertyPID = fourCharCode("ppid");
inline constexpr std::uint32_t kAudioProcessPropertyIsRunningOutput = fourCharCode("piro");
inline constexpr std::uint32_t kAudioDevicePropertyDeviceIsAlive = fourCharCode("livn");
inline constexpr std::uint32_t kAudioDevicePropertyDeviceIsRunningSomewhere = fourCharCode("gone");
inline constexpr std::uint32_t kAudioAggregateDevicePropertyMainSubDevice = fourCharCode("amst");
inline constexpr std::uint32_t kAudioDevicePropertyStreams = fourCharCode("stm#");
inline constexpr std::uint32_t kAudioObjectPropertyScopeInput = fourCharCode("inpt");

// What a backend answers for an operation it does not offer.
inline constexpr OSStatus kAudioHardwareUnsupportedOperationError = OSStatus(fourCharCode("unop"));

struct PropertyAddress {
  std::uint32_t mSelector;
  std::uint32_t mScope;
  std::uint32_t mElement;
};

// A property of the object as a whole: global scope, main element.
constexpr PropertyAddress globalAddress(std::uint32_t selector) {
  return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

inline constexpr std::uint32_t kAudioFormatLinearPCM = fourCharCode("lpcm");
inline constexpr std::uint32_t kAudioFormatFlagIsFloat = 1u << 0;
inline constexpr std::uint32_t kAudioFormatFlagIsBigEndian = 1u << 1;
inline constexpr std::uint32_t kAudioFormatFlagIsSignedInteger = 1u << 2;
inline constexpr std::uint32_t kAudioFormatFlagIsPacked = 1u << 3;
inline constexpr std::uint32_t kAudioFormatFlagIsNonInterleaved = 1u << 5;

// Same layout as AudioStreamBasicDescription (40 bytes).
struct StreamDescription {
  double mSampleRate;
  std::uint32_t mFormatID;
  std::uint32_t mFormatFlags;
  std::uint32_t mBytesPerPacket;
  std::uint32_t mFramesPerPacket;
  std::uint32_t mBytesPerFrame;
  std::uint32_t mChannelsPerFrame;
  std::uint32_t mBitsPerChannel;
  std::uint32_t mReserved;
};
static_assert(sizeof(StreamDescription) == 40);

// Same layout as AudioBuffer / AudioBufferList: mBuffers really holds
// mNumberBuffers records.
struct AudioBuffer {
  std::uint32_t mNumberChannels;
  std::uint32_t mDataByteSize;
  void* mData;
};

struct AudioBufferList {
  std::uint32_t mNumberBuffers;
  AudioBuffer mBuffers[1];
};

}  // namespace audiotap::platform
