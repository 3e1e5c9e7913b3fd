// Turns a platform::Dictionary into the objects of a property-list API
// (NSDictionary and friends on macOS), translating key names on the way.
// Plain C++, so the walk is tested on every platform.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "platform/value.h"

namespace audiotap::platform::macos {

struct KeyName {
  std::string_view ours;
  std::string_view platform;
};

// A key missing from the table keeps its own name.
constexpr std::string_view platformKey(std::span<const KeyName> table, std::string_view key) {
  for (const KeyName& entry : table) {
    if (entry.ours == key) return entry.platform;
  }
  return key;
}

// Builder provides Object, List and Map types and
//   number(int | std::int64_t | double | float), string(const std::string&),
//   list(size) -> List, append(list, Object), finish(list) -> Object,
//   map(size) -> Map, set(map, std::string_view key, Object), finish(map) -> Object.
// Entries are set in order, so where the builder overwrites, a later
// duplicate key wins.
template <class Builder>
typename Builder::Object toPropertyList(const Dictionary& dictionary, Builder& builder,
                                        std::span<const KeyName> keys);

template <class Builder>
typename Builder::Object toPropertyList(const Value& value, Builder& builder, std::span<const KeyName> keys) {
  return std::visit(
      [&](const auto& v) -> typename Builder::Object {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, Dictionary>) {
          return toPropertyList(v, builder, keys);
        } else if constexpr (std::is_same_v<T, Array>) {
          auto list = builder.list(v.size());
          for (const Value& element : v) builder.append(list, toPropertyList(element, builder, keys));
          return builder.finish(std::move(list));
        } else if constexpr (std::is_same_v<T, bool>) {
          // Core Audio documents each of its flags as a CFNumber, 0 or 1, and
          // a CFBoolean is not one.
          return builder.number(v ? 1 : 0);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return builder.string(v);
        } else {
          return builder.number(v);
        }
      },
      value.data);
}

template <class Builder>
typename Builder::Object toPropertyList(const Dictionary& dictionary, Builder& builder,
                                        std::span<const KeyName> keys) {
  auto map = builder.map(dictionary.size());
  for (const auto& [key, value] : dictionary) {
    builder.set(map, platformKey(keys, key), toPropertyList(value, builder, keys));
  }
  return builder.finish(std::move(map));
}

}  // namespace audiotap::platform::macos
