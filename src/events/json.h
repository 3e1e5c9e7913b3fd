// Compact, single-line JSON for event lines.
#pragma once

#include <string>

#include "platform/value.h"

namespace audiotap::events {

// Always yields valid JSON: a number with no JSON form (NaN, infinity) is
// written as null, and bytes that are not UTF-8 become U+FFFD, so a payload
// can never make an event line vanish.
void appendJson(std::string& out, const platform::Value& value);
std::string toJson(const platform::Value& value);

}  // namespace audiotap::events
