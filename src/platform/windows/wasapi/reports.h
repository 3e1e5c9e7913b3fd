// The source's reports, from the capture's task and the system's notification
// thread alike: one at a time, none once closed, and the capture's end (a lost
// device or a restarted audio system) once.
#pragma once

#include <mutex>
#include <string>

#include "platform/capture_source.h"

namespace audiotap::platform::windows {

class Reports {
 public:
  explicit Reports(SourceReporter reporter) : reporter_(std::move(reporter)) {}

  void send(SourceReport::Kind kind, std::string message = {}) {
    std::lock_guard lock(mutex_);
    if (closed_ || !reporter_) return;
    const bool ending = kind == SourceReport::Kind::DeviceLost || kind == SourceReport::Kind::SystemRestarted;
    if (ending && ended_) return;
    if (ending) ended_ = true;
    reporter_(SourceReport{kind, std::move(message)});
  }

  // Waits for a report under way; none begins afterwards.
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    reporter_ = nullptr;
  }

 private:
  std::mutex mutex_;
  SourceReporter reporter_;
  bool closed_ = false;
  bool ended_ = false;
};

}  // namespace audiotap::platform::windows
