// The pieces of the macOS backend that platform.mm puts together. Included by
// Objective-C++ files only.
#pragma once

#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/dispatch.h"
#include "platform/hal.h"
#include "platform/media.h"

namespace audiotap::platform::macos {

class MacQueue final : public Queue {
 public:
  explicit MacQueue(const std::string& label);
  void async(std::function<void()> task) override;
  bool drain(std::chrono::milliseconds limit) override;
  dispatch_queue_t queue() const { return queue_; }

 private:
  dispatch_queue_t queue_;
};

std::unique_ptr<Hal> makeHal();
std::unique_ptr<Media> makeMedia();
std::unique_ptr<Dispatch> makeDispatch();

// Text that is not valid UTF-8 becomes the empty string rather than nil, which
// Foundation setters and collections would refuse.
inline NSString* toNSString(std::string_view text) {
  NSString* string = [[NSString alloc] initWithBytes:text.data()
                                              length:text.size()
                                            encoding:NSUTF8StringEncoding];
  return string != nil ? string : @"";
}

inline std::string toString(NSString* string) {
  const char* text = string.UTF8String;
  return text != nullptr ? std::string(text) : std::string();
}

}  // namespace audiotap::platform::macos
