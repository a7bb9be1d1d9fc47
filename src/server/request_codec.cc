// Requests on the wire: one decoder and one encoder for every command,
// driven by the commands' field descriptions (commands.h).
//
// Decoding runs in two passes. The JSON reader (through wire_json.cc)
// builds the value (a repeated key keeps its last value) and, because that
// value can no longer show it, records which keys were repeated in the
// objects where closed types may live. The typed pass (here and in
// wire_reading.cc) then reads the closed types from the value, consulting
// those records at their own level only, so that any-value fields keep the
// usual last-wins reading.
#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "document/filter.h"
#include "server/request.h"
#include "server/wire_json.h"
#include "server/wire_reading.h"

namespace tovik::server {

namespace {

using wire::child;
using wire::ClosedFields;
using wire::Decoded;
using wire::error_at;
using wire::Path;
using wire::read_string;

using Done = std::expected<void, wire::Error>;

// Where one field's value sits in the message; null when an optional field
// is absent.
struct Slot {
  const Json* value;
  const Path& path;
  const ParsedMessage& message;
};

// ---------------------------------------------------------------------------
// One reader per kind of field.

Done read_value(field_kind::Text, const Slot& slot, std::string& out) {
  auto text = read_string(*slot.value, slot.path);
  if (!text) return std::unexpected(text.error());
  out = std::move(*text);
  return {};
}

Done read_value(field_kind::Namespace, const Slot& slot, NamespaceKind& out) {
  auto kind = wire::read_namespace_kind(*slot.value, slot.path);
  if (!kind) return std::unexpected(kind.error());
  out = *kind;
  return {};
}

Done read_value(field_kind::Unsigned kind, const Slot& slot, std::uint64_t& out) {
  auto number = wire::read_unsigned(*slot.value, slot.path, kind.max);
  if (!number) return std::unexpected(number.error());
  out = *number;
  return {};
}

Done read_value(field_kind::OptionalUnsigned kind, const Slot& slot,
                std::optional<std::uint64_t>& out) {
  auto number = wire::read_unsigned(*slot.value, slot.path, kind.max);
  if (!number) return std::unexpected(number.error());
  out = *number;
  return {};
}

Done read_value(field_kind::AnyValue, const Slot& slot, Json& out) {
  out = *slot.value;
  return {};
}

Done read_value(field_kind::ObjectValue, const Slot& slot, Json& out) {
  if (!slot.value->is_object()) return std::unexpected(error_at(slot.path, "expected object"));
  out = *slot.value;
  return {};
}

Done read_value(field_kind::OptionalText, const Slot& slot, std::optional<std::string>& out) {
  auto text = read_string(*slot.value, slot.path);
  if (!text) return std::unexpected(text.error());
  out = std::move(*text);
  return {};
}

Done read_value(field_kind::OptionalTexts, const Slot& slot,
                std::optional<std::vector<std::string>>& out) {
  if (!slot.value->is_array()) return std::unexpected(error_at(slot.path, "expected array"));
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < slot.value->size(); ++i) {
    auto text = read_string((*slot.value)[i], child(slot.path, std::to_string(i)));
    if (!text) return std::unexpected(text.error());
    texts.push_back(std::move(*text));
  }
  out = std::move(texts);
  return {};
}

Done read_value(field_kind::OptionalFilter, const Slot& slot, std::optional<Filter>& out) {
  static constexpr std::array<ClosedFields::FieldRule, 2> kRules{
      {{"field", true}, {"value", true}}};
  auto read = wire::read_string_and_value(slot.message, *slot.value, slot.path, kRules);
  if (!read) return std::unexpected(read.error());
  out = Filter{std::move(read->first), std::move(read->second)};
  return {};
}

Done read_value(field_kind::WriteOps, const Slot& slot, std::vector<DocumentWrite>& out);

// A key repeated inside the filter at `path` is no decoding fault: the
// command fails in words that name it.
std::optional<std::string> filter_refusal(const ParsedMessage& message, const Path& path) {
  const auto& repeat = message.first_repeated_key;
  if (!repeat || repeat->size() <= path.size() ||
      !std::equal(path.begin(), path.end(), repeat->begin())) {
    return std::nullopt;
  }
  const std::span<const std::string> within(repeat->begin() + path.size(), repeat->end() - 1);
  return repeated_filter_key_message(within, repeat->back());
}

template <typename O, typename M, typename K>
Done read_field(const Field<O, M, K>& field, const Slot& slot, O& target) {
  if (is_optional(field.presence) && (slot.value == nullptr || slot.value->is_null())) {
    return {};  // none
  }
  if constexpr (std::is_same_v<K, field_kind::QueryFilter<O>>) {
    target.*field.member = *slot.value;
    target.*field.kind.refusal = filter_refusal(slot.message, slot.path);
    return {};
  } else {
    return read_value(field.kind, slot, target.*field.member);
  }
}

// The key rules of a description, for ClosedFields.
template <typename Fields>
constexpr auto rules_of(const Fields& fields) {
  return std::apply(
      [](const auto&... field) {
        return std::array<ClosedFields::FieldRule, sizeof...(field)>{
            ClosedFields::FieldRule{field.name, field.presence == Presence::Required}...};
      },
      fields);
}

// How many fields the array form of a description holds at least: those
// before the first appended one. Appended fields come last.
template <typename Fields>
constexpr std::size_t array_minimum_of(const Fields& fields) {
  return std::apply(
      [](const auto&... field) {
        std::size_t minimum = 0;
        bool appended = false;
        ((appended = appended || field.presence == Presence::Appended, minimum += !appended), ...);
        return minimum;
      },
      fields);
}
template <typename Fields>
constexpr bool appended_fields_trail(const Fields& fields) {
  return std::apply(
      [](const auto&... field) {
        bool appended = false;
        bool trailing = true;
        ((trailing = trailing && (!appended || field.presence == Presence::Appended),
          appended = appended || field.presence == Presence::Appended),
         ...);
        return trailing;
      },
      fields);
}

// Reads the fields of `described` into target, in order, stopping at the
// first fault.
template <typename T, typename Fields, std::size_t... I>
Done read_fields(const ParsedMessage& message, const ClosedFields& read, const Fields& described,
                 T& target, std::index_sequence<I...>) {
  Done done;
  (void)((done =
              read_field(std::get<I>(described), Slot{read.at(I), read.path(I), message}, target),
          done.has_value()) &&
         ...);
  return done;
}

// A closed structure tagged by "op" (the tag is the caller's): its fields as
// `described` says.
template <typename T, const auto& kDescribed>
Decoded<T> read_tagged(const ParsedMessage& message, const Json& value, const Path& path,
                       T target) {
  static constexpr auto kRules = rules_of(kDescribed);
  static constexpr std::array<std::string_view, 1> kTag{"op"};
  static_assert(appended_fields_trail(kDescribed), "appended fields come after all others");
  auto read =
      ClosedFields::read(message, value, path, kRules, 1, kTag, array_minimum_of(kDescribed));
  if (!read) return std::unexpected(read.error());
  constexpr std::size_t kCount = std::tuple_size_v<std::remove_cvref_t<decltype(kDescribed)>>;
  auto done = read_fields(message, *read, kDescribed, target, std::make_index_sequence<kCount>{});
  if (!done) return std::unexpected(done.error());
  return target;
}

// ---------------------------------------------------------------------------
// The operations of a write: closed objects (or arrays) tagged by "op", as
// commands are, described like them.

constexpr auto kWriteWithDocument =
    std::tuple{fields::text("id", &DocumentWrite::id),
               fields::object_value("document", &DocumentWrite::document)};
constexpr auto kWriteIdOnly = std::tuple{fields::text("id", &DocumentWrite::id)};

Decoded<DocumentWrite> read_write_op(const ParsedMessage& message, const Json& value,
                                     const Path& path) {
  const Json* tag = nullptr;
  if (value.is_object()) {
    auto found = value.find("op");
    if (found == value.end()) return std::unexpected(error_at(path, "missing key op"));
    tag = &*found;
  } else if (value.is_array() && !value.empty()) {
    tag = &value[0];
  } else {
    return std::unexpected(error_at(path, "expected operation"));
  }
  if (!tag->is_string()) return std::unexpected(error_at(path, "expected string op"));
  const auto kind = std::find_if(kWriteOpNames.begin(), kWriteOpNames.end(), [&](const auto& op) {
    return op.first == tag->get_ref<const std::string&>();
  });
  if (kind == kWriteOpNames.end()) return std::unexpected(error_at(path, "unknown write op"));
  const DocumentWrite blank{kind->second, {}, Json()};
  if (kind->second == WriteKind::Delete) {
    return read_tagged<DocumentWrite, kWriteIdOnly>(message, value, path, blank);
  }
  return read_tagged<DocumentWrite, kWriteWithDocument>(message, value, path, blank);
}

Done read_value(field_kind::WriteOps, const Slot& slot, std::vector<DocumentWrite>& out) {
  if (!slot.value->is_array()) return std::unexpected(error_at(slot.path, "expected array"));
  out.reserve(slot.value->size());
  for (std::size_t i = 0; i < slot.value->size(); ++i) {
    auto op = read_write_op(slot.message, (*slot.value)[i], child(slot.path, std::to_string(i)));
    if (!op) return std::unexpected(op.error());
    out.push_back(std::move(*op));
  }
  return {};
}

// ---------------------------------------------------------------------------
// Commands.

template <std::size_t I>
Decoded<Command> decode_alternative(const ParsedMessage& message, const Json& value,
                                    const Path& path) {
  using T = std::variant_alternative_t<I, Command>;
  if constexpr (std::tuple_size_v<std::remove_cv_t<decltype(T::kFields)>> == 0) {
    // Extra keys of a command without fields are ignored; only its shape
    // and a repeated "op" are refused.
    if (value.is_array() && value.size() != 1) {
      return std::unexpected(error_at(path, "wrong number of elements"));
    }
    if (value.is_object() && message.duplicated_keys.contains(child(path, "op"))) {
      return std::unexpected(error_at(path, "duplicate key op"));
    }
    return Command(std::in_place_index<I>);
  } else {
    auto command = read_tagged<T, T::kFields>(message, value, path, T{});
    if (!command) return std::unexpected(command.error());
    return Command(std::in_place_index<I>, std::move(*command));
  }
}

template <std::size_t... I>
Decoded<Command> decode_by_index(std::size_t index, const ParsedMessage& message, const Json& value,
                                 const Path& path, std::index_sequence<I...>) {
  using Decoder = Decoded<Command> (*)(const ParsedMessage&, const Json&, const Path&);
  static constexpr std::array<Decoder, sizeof...(I)> kDecoders{&decode_alternative<I>...};
  return kDecoders[index](message, value, path);
}

Decoded<Command> read_command(const ParsedMessage& message, const Json& value, const Path& path) {
  const Json* tag = nullptr;
  Path tag_path;
  if (value.is_object()) {
    auto found = value.find("op");
    if (found == value.end()) return std::unexpected(error_at(path, "missing key op"));
    tag = &*found;
    tag_path = child(path, "op");
  } else if (value.is_array()) {
    if (value.empty()) return std::unexpected(error_at(path, "wrong number of elements"));
    tag = &value[0];
    tag_path = child(path, "0");
  } else {
    return std::unexpected(error_at(path, "expected object or array"));
  }
  auto op = read_string(*tag, tag_path);
  if (!op) return std::unexpected(op.error());
  for (std::size_t i = 0; i < kOpNames.size(); ++i) {
    if (kOpNames[i] == *op) {
      return decode_by_index(i, message, value, path, std::make_index_sequence<kCommandCount>{});
    }
  }
  return std::unexpected(error_at(tag_path, "unknown op"));
}

Decoded<Request> read_request(const ParsedMessage& message) {
  static constexpr std::array<ClosedFields::FieldRule, 2> kRules{
      {{"version", true}, {"command", true}}};
  auto envelope = wire::read_envelope(message, kRules);
  if (!envelope) return std::unexpected(envelope.error());
  const ClosedFields& fields = envelope->fields;
  auto command = read_command(message, *fields.at(1), fields.path(1));
  if (!command) return std::unexpected(command.error());
  return Request{envelope->version, std::move(*command)};
}

// ---------------------------------------------------------------------------
// One writer per kind of field; absent optionals are written as null.

Json write_value(field_kind::Text, const std::string& text) { return text; }
Json write_value(field_kind::Namespace, NamespaceKind kind) { return namespace_kind_name(kind); }
Json write_value(field_kind::Unsigned, std::uint64_t number) { return number; }
Json write_value(field_kind::OptionalUnsigned, const std::optional<std::uint64_t>& number) {
  return number ? Json(*number) : Json(nullptr);
}
Json write_value(field_kind::AnyValue, const Json& value) { return value; }
Json write_value(field_kind::ObjectValue, const Json& value) { return value; }
template <typename O>
Json write_value(const field_kind::QueryFilter<O>&, const Json& value) {
  return value;
}
Json write_value(field_kind::OptionalText, const std::optional<std::string>& text) {
  return text ? Json(*text) : Json(nullptr);
}
Json write_value(field_kind::OptionalTexts, const std::optional<std::vector<std::string>>& texts) {
  return texts ? Json(*texts) : Json(nullptr);
}
Json write_value(field_kind::OptionalFilter, const std::optional<Filter>& filter) {
  return filter ? Json{{"field", filter->field}, {"value", filter->value}} : Json(nullptr);
}
Json write_value(field_kind::WriteOps, const std::vector<DocumentWrite>& ops);

// The described fields of a value as a sorted object, "op" among them. An
// appended field that holds none is left out, so a request that does not
// use it reads as it did before the field existed.
template <typename T, typename Fields>
Json tagged_json(const T& value, const Fields& described, std::string_view op) {
  Json object = Json::object();
  const auto put = [&](const auto& field) {
    Json written = write_value(field.kind, value.*field.member);
    if (field.presence == Presence::Appended && written.is_null()) return;
    object[std::string(field.name)] = std::move(written);
  };
  std::apply([&](const auto&... field) { (put(field), ...); }, described);
  object["op"] = op;
  return object;
}

Json write_value(field_kind::WriteOps, const std::vector<DocumentWrite>& ops) {
  Json list = Json::array();
  for (const DocumentWrite& op : ops) {
    const std::string_view name = write_op_name(op.kind);
    list.push_back(op.kind == WriteKind::Delete ? tagged_json(op, kWriteIdOnly, name)
                                                : tagged_json(op, kWriteWithDocument, name));
  }
  return list;
}

// Sorted keys throughout, so "command" comes before "version".
std::string encode_request_parts(std::uint32_t version, const Command& command) {
  Json envelope = Json::object();
  envelope["version"] = version;
  envelope["command"] = std::visit(
      [](const auto& c) { return tagged_json(c, std::decay_t<decltype(c)>::kFields, c.kOp); },
      command);
  return dump_compact(envelope);
}

}  // namespace

std::string_view namespace_kind_name(NamespaceKind kind) {
  return kind == NamespaceKind::Den ? "den" : "warren";
}

std::string_view write_op_name(WriteKind kind) {
  for (const auto& [name, k] : kWriteOpNames) {
    if (k == kind) return name;
  }
  return "put";
}

Response DecodeError::response() const { return failure(kCodeBadFrame, kBadFrameMessage); }

std::expected<Request, DecodeError> decode_request(std::string_view body) {
  auto message = parse_message(body);
  if (!message) return std::unexpected(DecodeError{message.error()});
  auto request = read_request(*message);
  if (!request) return std::unexpected(DecodeError{request.error()});
  request->integer_out_of_range = message->integer_out_of_range;
  return std::move(*request);
}

std::string encode_request(const Request& request) {
  return encode_request_parts(request.version, request.command);
}

std::string encode_request(const Command& command) {
  return encode_request_parts(kProtocolVersion, command);
}

}  // namespace tovik::server
