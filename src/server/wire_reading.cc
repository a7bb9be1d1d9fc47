// Closed structures and plain values out of a parsed wire message.
#include "server/wire_reading.h"

#include <limits>
#include <utility>

namespace tovik::server::wire {

namespace {

std::string show_path(const Path& path) {
  std::string text;
  for (const std::string& part : path) {
    text += '/';
    text += part;
  }
  return text.empty() ? "/" : text;
}

}  // namespace

Error error_at(const Path& path, std::string_view what) {
  return show_path(path) + ": " + std::string(what);
}

Path child(const Path& path, std::string_view part) {
  Path result = path;
  result.emplace_back(part);
  return result;
}

Decoded<ClosedFields> ClosedFields::read(const ParsedMessage& message, const Json& value,
                                         const Path& path, std::span<const FieldRule> rules,
                                         std::size_t skip,
                                         std::span<const std::string_view> also_allowed,
                                         std::optional<std::size_t> array_minimum) {
  ClosedFields fields;
  fields.slots_.assign(rules.size(), nullptr);
  if (value.is_array()) {
    const std::size_t fewest = skip + array_minimum.value_or(rules.size());
    if (value.size() < fewest || value.size() > skip + rules.size()) {
      return std::unexpected(error_at(path, "wrong number of elements"));
    }
    for (std::size_t i = 0; i < rules.size(); ++i) {
      if (skip + i < value.size()) fields.slots_[i] = &value[skip + i];
      fields.paths_.push_back(child(path, std::to_string(skip + i)));
    }
    return fields;
  }
  if (!value.is_object()) return std::unexpected(error_at(path, "expected object or array"));
  if (message.objects_with_duplicates.contains(path)) {
    return std::unexpected(error_at(path, "duplicate key"));
  }
  for (auto member = value.begin(); member != value.end(); ++member) {
    const std::string& key = member.key();
    bool known = false;
    for (std::size_t i = 0; i < rules.size(); ++i) {
      if (rules[i].name == key) {
        fields.slots_[i] = &member.value();
        known = true;
      }
    }
    for (std::string_view name : also_allowed) known = known || name == key;
    if (!known) return std::unexpected(error_at(path, "unknown key " + key));
  }
  for (std::size_t i = 0; i < rules.size(); ++i) {
    fields.paths_.push_back(child(path, rules[i].name));
    if (rules[i].required && fields.slots_[i] == nullptr) {
      return std::unexpected(error_at(path, "missing key " + std::string(rules[i].name)));
    }
  }
  return fields;
}

Decoded<std::string> read_string(const Json& value, const Path& path) {
  if (!value.is_string()) return std::unexpected(error_at(path, "expected string"));
  return value.get_ref<const std::string&>();
}

Decoded<std::uint64_t> read_unsigned(const Json& value, const Path& path, std::uint64_t max) {
  if (!value.is_number_unsigned()) {
    return std::unexpected(error_at(path, "expected non-negative integer"));
  }
  const std::uint64_t number = value.get<std::uint64_t>();
  if (number > max) return std::unexpected(error_at(path, "integer out of range"));
  return number;
}

Decoded<bool> read_bool(const Json& value, const Path& path) {
  if (!value.is_boolean()) return std::unexpected(error_at(path, "expected boolean"));
  return value.get<bool>();
}

Decoded<NamespaceKind> read_namespace_kind(const Json& value, const Path& path) {
  auto text = read_string(value, path);
  if (!text) return std::unexpected(text.error());
  if (*text == "warren") return NamespaceKind::Warren;
  if (*text == "den") return NamespaceKind::Den;
  return std::unexpected(error_at(path, "unknown namespace kind"));
}

Decoded<StringAndValue> read_string_and_value(const ParsedMessage& message, const Json& value,
                                              const Path& path,
                                              const std::array<ClosedFields::FieldRule, 2>& rules) {
  auto fields = ClosedFields::read(message, value, path, rules);
  if (!fields) return std::unexpected(fields.error());
  auto first = read_string(*fields->at(0), fields->path(0));
  if (!first) return std::unexpected(first.error());
  return StringAndValue{std::move(*first), *fields->at(1), fields->path(1)};
}

Decoded<Envelope> read_envelope(const ParsedMessage& message,
                                std::span<const ClosedFields::FieldRule> rules) {
  auto fields = ClosedFields::read(message, message.root, Path{}, rules);
  if (!fields) return std::unexpected(fields.error());
  auto version =
      read_unsigned(*fields->at(0), fields->path(0), std::numeric_limits<std::uint32_t>::max());
  if (!version) return std::unexpected(version.error());
  return Envelope{std::move(*fields), static_cast<std::uint32_t>(*version)};
}

}  // namespace tovik::server::wire
