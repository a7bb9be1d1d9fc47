// The typed pass of decoding a wire message: reading closed structures and
// plain values out of the value wire_json.h parsed, with errors that name
// the path where a rule was broken. Shared by the request and response
// decoders; internal to the server library.
//
// A closed structure is read either from an object (by name, refusing
// unknown, repeated and missing required keys, consulting the parse's
// records of repeated keys at its own level only) or from an array (by
// position, refusing a wrong length).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "document/json.h"
#include "document/namespaces.h"
#include "server/wire_json.h"

namespace tovik::server::wire {

using Error = std::string;
using Path = WirePath;

template <typename T>
using Decoded = std::expected<T, Error>;

// "/command/limit: expected non-negative integer"
Error error_at(const Path& path, std::string_view what);
Path child(const Path& path, std::string_view part);

class ClosedFields {
 public:
  struct FieldRule {
    std::string_view name;
    bool required;
  };

  // `skip` leading array elements belong to the caller (the "op" tag), and
  // the keys in `also_allowed` are read by the caller from the object form.
  // The array form holds every field, or (when `array_minimum` is given)
  // at least the first array_minimum of them; the missing ones are absent.
  [[nodiscard]] static Decoded<ClosedFields> read(
      const ParsedMessage& message, const Json& value, const Path& path,
      std::span<const FieldRule> rules, std::size_t skip = 0,
      std::span<const std::string_view> also_allowed = {},
      std::optional<std::size_t> array_minimum = std::nullopt);

  // Null when an optional field is absent.
  const Json* at(std::size_t i) const { return slots_[i]; }
  const Path& path(std::size_t i) const { return paths_[i]; }

 private:
  std::vector<const Json*> slots_;
  std::vector<Path> paths_;
};

[[nodiscard]] Decoded<std::string> read_string(const Json& value, const Path& path);
// Only an integer literal without sign, fraction or exponent: the parser
// reports exactly those as unsigned numbers.
[[nodiscard]] Decoded<std::uint64_t> read_unsigned(const Json& value, const Path& path,
                                                   std::uint64_t max);
[[nodiscard]] Decoded<bool> read_bool(const Json& value, const Path& path);
[[nodiscard]] Decoded<NamespaceKind> read_namespace_kind(const Json& value, const Path& path);

// A closed object of two required fields whose first holds a string: that
// string, and the second value with its path.
struct StringAndValue {
  std::string first;
  Json second;
  Path second_path;
};
[[nodiscard]] Decoded<StringAndValue> read_string_and_value(
    const ParsedMessage& message, const Json& value, const Path& path,
    const std::array<ClosedFields::FieldRule, 2>& rules);

// The fields of a message's root object (or array), the first of which is
// "version": any 32-bit unsigned number.
struct Envelope {
  ClosedFields fields;
  std::uint32_t version = 0;
};
[[nodiscard]] Decoded<Envelope> read_envelope(const ParsedMessage& message,
                                              std::span<const ClosedFields::FieldRule> rules);

}  // namespace tovik::server::wire
