// The capture source's contract, checked against one backend per binary: the
// backend's test file defines contractTarget(), and links source_contract.cpp
// with GoogleTest's main.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/capture_source.h"

namespace audiotap::contract {

struct Target {
  // A fresh source of the backend, on the default output as it is now.
  std::function<std::unique_ptr<platform::CaptureSource>()> make;
  // Makes the default output play a 997 Hz tone at about half scale until
  // stopSound; either may be empty where the backend plays one anyway.
  std::function<void()> startSound;
  std::function<void()> stopSound;
  // Empty when the backend can run the capture here; otherwise why not, and
  // every case skips.
  std::string skip;
};

// Called once, before the first case.
Target contractTarget();

}  // namespace audiotap::contract
