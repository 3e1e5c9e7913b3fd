// A dictionary of plain values: event payloads and the aggregate device's
// description are both built from it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace audiotap::platform {

struct Value;
using Array = std::vector<Value>;
// Keys keep the order in which they were added; a later duplicate wins where
// a reader merges.
using Dictionary = std::vector<std::pair<std::string, Value>>;

struct Value {
  // float is kept apart from double so a 32-bit figure prints with its own
  // shortest digits.
  std::variant<bool, std::int64_t, double, float, std::string, Array, Dictionary> data;

  Value(bool v) : data(v) {}
  Value(int v) : data(std::int64_t(v)) {}
  Value(unsigned v) : data(std::int64_t(v)) {}
  Value(std::int64_t v) : data(v) {}
  Value(double v) : data(v) {}
  Value(float v) : data(v) {}
  Value(const char* v) : data(std::string(v)) {}
  Value(std::string v) : data(std::move(v)) {}
  Value(Array v) : data(std::move(v)) {}
  Value(Dictionary v) : data(std::move(v)) {}

  template <class T>
  const T* get() const {
    return std::get_if<T>(&data);
  }
};

// The value of the last entry named `key`, or null.
inline const Value* find(const Dictionary& dictionary, const std::string& key) {
  const Value* found = nullptr;
  for (const auto& entry : dictionary) {
    if (entry.first == key) found = &entry.second;
  }
  return found;
}

}  // namespace audiotap::platform
