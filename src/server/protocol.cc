// Wire messages: a strict decoder for what peers send and fixed-form
// encoders for what this side sends.
//
// Decoding runs in two passes. The JSON reader (through wire_json.cc)
// builds the value (a repeated key keeps its last value) and, because that
// value can no longer show it, records which keys were repeated in the
// objects where closed types may live. A typed pass (here) then reads the
// closed types from the value, consulting those records at their own level
// only, so that any-value fields keep the usual last-wins reading.
#include "server/protocol.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "document/filter.h"
#include "server/wire_json.h"

namespace tovik::server {

namespace {

// ---------------------------------------------------------------------------
// Pass 2: value -> closed types.

using Error = std::string;
using Path = WirePath;

template <typename T>
using Decoded = std::expected<T, Error>;

std::string show_path(const Path& path) {
  std::string text;
  for (const std::string& part : path) {
    text += '/';
    text += part;
  }
  return text.empty() ? "/" : text;
}

Error error_at(const Path& path, std::string_view what) {
  return show_path(path) + ": " + std::string(what);
}

Path child(const Path& path, std::string_view part) {
  Path result = path;
  result.emplace_back(part);
  return result;
}

// The fields of one closed structure, read either from an object (by name,
// refusing unknown, repeated and missing required keys) or from an array
// (by position, refusing a wrong length).
class ClosedFields {
 public:
  struct FieldRule {
    std::string_view name;
    bool required;
  };

  // `skip` leading array elements belong to the caller (the "op" tag), and
  // the keys in `also_allowed` are read by the caller from the object form.
  static Decoded<ClosedFields> read(const ParsedMessage& message, const Json& value,
                                    const Path& path, std::span<const FieldRule> rules,
                                    std::size_t skip = 0,
                                    std::span<const std::string_view> also_allowed = {}) {
    ClosedFields fields;
    fields.slots_.assign(rules.size(), nullptr);
    if (value.is_array()) {
      if (value.size() != skip + rules.size()) {
        return std::unexpected(error_at(path, "wrong number of elements"));
      }
      for (std::size_t i = 0; i < rules.size(); ++i) {
        fields.slots_[i] = &value[skip + i];
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

  // Null when an optional field is absent.
  const Json* at(std::size_t i) const { return slots_[i]; }
  const Path& path(std::size_t i) const { return paths_[i]; }

 private:
  std::vector<const Json*> slots_;
  std::vector<Path> paths_;
};

Decoded<std::string> read_string(const Json& value, const Path& path) {
  if (!value.is_string()) return std::unexpected(error_at(path, "expected string"));
  return value.get_ref<const std::string&>();
}

// Only an integer literal without sign, fraction or exponent: the parser
// reports exactly those as unsigned numbers.
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

Decoded<NamespaceKind> read_kind(const Json& value, const Path& path) {
  auto text = read_string(value, path);
  if (!text) return std::unexpected(text.error());
  if (*text == "warren") return NamespaceKind::Warren;
  if (*text == "den") return NamespaceKind::Den;
  return std::unexpected(error_at(path, "unknown namespace kind"));
}

// A closed object of two required fields whose first holds a string: that
// string, and the second value with its path.
struct StringAndValue {
  std::string first;
  Json second;
  Path second_path;
};

Decoded<StringAndValue> read_string_and_value(const ParsedMessage& message, const Json& value,
                                              const Path& path,
                                              const std::array<ClosedFields::FieldRule, 2>& rules) {
  auto fields = ClosedFields::read(message, value, path, rules);
  if (!fields) return std::unexpected(fields.error());
  auto first = read_string(*fields->at(0), fields->path(0));
  if (!first) return std::unexpected(first.error());
  return StringAndValue{std::move(*first), *fields->at(1), fields->path(1)};
}

Decoded<Equality> read_equality(const ParsedMessage& message, const Json& value, const Path& path) {
  static constexpr std::array<ClosedFields::FieldRule, 2> kRules{
      {{"field", true}, {"value", true}}};
  auto read = read_string_and_value(message, value, path, kRules);
  if (!read) return std::unexpected(read.error());
  return Equality{std::move(read->first), std::move(read->second)};
}

// The elements of a write's "ops": closed objects (or arrays) tagged by
// "op", as commands are.
constexpr std::array<std::pair<std::string_view, WriteKind>, 4> kWriteOpNames{{
    {"put", WriteKind::Put},
    {"insert", WriteKind::Insert},
    {"update", WriteKind::Update},
    {"delete", WriteKind::Delete},
}};

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

  using S = ClosedFields::FieldRule;
  static constexpr std::array<S, 2> kWithDocument{{{"id", true}, {"document", true}}};
  static constexpr std::array<S, 1> kIdOnly{{{"id", true}}};
  static constexpr std::array<std::string_view, 1> kTag{"op"};
  const bool has_document = kind->second != WriteKind::Delete;
  auto fields = ClosedFields::read(
      message, value, path,
      has_document ? std::span<const S>(kWithDocument) : std::span<const S>(kIdOnly), 1, kTag);
  if (!fields) return std::unexpected(fields.error());
  auto id = read_string(*fields->at(0), fields->path(0));
  if (!id) return std::unexpected(id.error());
  DocumentWrite write{kind->second, std::move(*id), Json()};
  if (has_document) {
    if (!fields->at(1)->is_object())
      return std::unexpected(error_at(fields->path(1), "expected object"));
    write.document = *fields->at(1);
  }
  return write;
}

Decoded<Write> read_write_ops(const ParsedMessage& message, const Json& value, const Path& path) {
  if (!value.is_array()) return std::unexpected(error_at(path, "expected array"));
  Write write;
  write.ops.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    auto op = read_write_op(message, value[i], child(path, std::to_string(i)));
    if (!op) return std::unexpected(op.error());
    write.ops.push_back(std::move(*op));
  }
  return write;
}

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

// query: "fields" is null or an array of strings, "after" null or a string.
Decoded<Query> read_query(const Json& filter, const Json* fields, const Path& fields_path,
                          const Json& limit, const Path& limit_path, const Json* after,
                          const Path& after_path) {
  Query query;
  query.filter = filter;
  if (fields != nullptr && !fields->is_null()) {
    if (!fields->is_array()) return std::unexpected(error_at(fields_path, "expected array"));
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < fields->size(); ++i) {
      auto path = read_string((*fields)[i], child(fields_path, std::to_string(i)));
      if (!path) return std::unexpected(path.error());
      paths.push_back(std::move(*path));
    }
    query.fields = std::move(paths);
  }
  auto count = read_unsigned(limit, limit_path, std::numeric_limits<std::uint64_t>::max());
  if (!count) return std::unexpected(count.error());
  query.limit = *count;
  if (after != nullptr && !after->is_null()) {
    auto cursor = read_string(*after, after_path);
    if (!cursor) return std::unexpected(cursor.error());
    query.after = std::move(*cursor);
  }
  return query;
}

// The operation table: wire names in variant order.
constexpr std::array<std::string_view, kCommandCount> kOpNames{
    "create", "drop_empty",  "navigate", "warrens", "dens",   "shinies", "auth",
    "use",    "collections", "put",      "insert",  "update", "page",    "get",
    "delete", "find",        "scan",     "stats",   "check",  "quit",    "backup",
    "usage",  "server",      "write",    "query",   "count"};

template <typename T>
constexpr bool kFieldless = std::is_empty_v<T>;

// Field rules per alternative, in table order.
template <typename T>
constexpr std::span<const ClosedFields::FieldRule> rules_of() {
  using S = ClosedFields::FieldRule;
  if constexpr (std::is_same_v<T, Create> || std::is_same_v<T, DropEmpty>) {
    static constexpr std::array<S, 2> k{{{"kind", true}, {"name", true}}};
    return k;
  } else if constexpr (std::is_same_v<T, Navigate>) {
    static constexpr std::array<S, 1> k{{{"name", true}}};
    return k;
  } else if constexpr (std::is_same_v<T, Auth>) {
    static constexpr std::array<S, 2> k{{{"username", true}, {"password", true}}};
    return k;
  } else if constexpr (std::is_same_v<T, Use>) {
    static constexpr std::array<S, 1> k{{{"collection", true}}};
    return k;
  } else if constexpr (std::is_same_v<T, Put> || std::is_same_v<T, Insert>) {
    static constexpr std::array<S, 2> k{{{"id", true}, {"document", true}}};
    return k;
  } else if constexpr (std::is_same_v<T, Update>) {
    static constexpr std::array<S, 2> k{{{"id", true}, {"fields", true}}};
    return k;
  } else if constexpr (std::is_same_v<T, Page>) {
    static constexpr std::array<S, 3> k{{{"limit", true}, {"after", false}, {"filter", false}}};
    return k;
  } else if constexpr (std::is_same_v<T, Get> || std::is_same_v<T, Delete>) {
    static constexpr std::array<S, 1> k{{{"id", true}}};
    return k;
  } else if constexpr (std::is_same_v<T, Backup>) {
    static constexpr std::array<S, 1> k{{{"name", true}}};
    return k;
  } else if constexpr (std::is_same_v<T, Find>) {
    static constexpr std::array<S, 2> k{{{"field", true}, {"value", true}}};
    return k;
  } else if constexpr (std::is_same_v<T, Write>) {
    static constexpr std::array<S, 1> k{{{"ops", true}}};
    return k;
  } else if constexpr (std::is_same_v<T, Query>) {
    static constexpr std::array<S, 4> k{
        {{"filter", true}, {"fields", false}, {"limit", true}, {"after", false}}};
    return k;
  } else if constexpr (std::is_same_v<T, Count>) {
    static constexpr std::array<S, 1> k{{{"filter", true}}};
    return k;
  } else {
    return {};
  }
}

// Converts the read fields into the alternative T.
template <typename T>
Decoded<T> fill(const ParsedMessage& message, const ClosedFields& f) {
  auto string_at = [&f](std::size_t i) { return read_string(*f.at(i), f.path(i)); };
  if constexpr (std::is_same_v<T, Create> || std::is_same_v<T, DropEmpty>) {
    auto kind = read_kind(*f.at(0), f.path(0));
    if (!kind) return std::unexpected(kind.error());
    auto name = string_at(1);
    if (!name) return std::unexpected(name.error());
    return T{*kind, std::move(*name)};
  } else if constexpr (std::is_same_v<T, Navigate> || std::is_same_v<T, Use> ||
                       std::is_same_v<T, Get> || std::is_same_v<T, Delete> ||
                       std::is_same_v<T, Backup>) {
    auto text = string_at(0);
    if (!text) return std::unexpected(text.error());
    return T{std::move(*text)};
  } else if constexpr (std::is_same_v<T, Auth>) {
    auto username = string_at(0);
    if (!username) return std::unexpected(username.error());
    auto password = string_at(1);
    if (!password) return std::unexpected(password.error());
    return T{std::move(*username), std::move(*password)};
  } else if constexpr (std::is_same_v<T, Put> || std::is_same_v<T, Insert> ||
                       std::is_same_v<T, Update> || std::is_same_v<T, Find>) {
    auto text = string_at(0);
    if (!text) return std::unexpected(text.error());
    return T{std::move(*text), *f.at(1)};
  } else if constexpr (std::is_same_v<T, Page>) {
    auto limit = read_unsigned(*f.at(0), f.path(0), std::numeric_limits<std::size_t>::max());
    if (!limit) return std::unexpected(limit.error());
    Page page;
    page.limit = *limit;
    if (const Json* after = f.at(1); after != nullptr && !after->is_null()) {
      auto cursor = read_string(*after, f.path(1));
      if (!cursor) return std::unexpected(cursor.error());
      page.after = std::move(*cursor);
    }
    if (const Json* filter = f.at(2); filter != nullptr && !filter->is_null()) {
      auto equality = read_equality(message, *filter, f.path(2));
      if (!equality) return std::unexpected(equality.error());
      page.filter = std::move(*equality);
    }
    return page;
  } else if constexpr (std::is_same_v<T, Write>) {
    return read_write_ops(message, *f.at(0), f.path(0));
  } else if constexpr (std::is_same_v<T, Query>) {
    auto query = read_query(*f.at(0), f.at(1), f.path(1), *f.at(2), f.path(2), f.at(3), f.path(3));
    if (query) query->filter_refusal = filter_refusal(message, f.path(0));
    return query;
  } else if constexpr (std::is_same_v<T, Count>) {
    return Count{*f.at(0), filter_refusal(message, f.path(0))};
  } else {
    return T{};
  }
}

template <std::size_t I>
Decoded<Command> decode_alternative(const ParsedMessage& message, const Json& value,
                                    const Path& path) {
  using T = std::variant_alternative_t<I, Command>;
  if constexpr (kFieldless<T>) {
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
    static constexpr std::array<std::string_view, 1> kTag{"op"};
    auto fields = ClosedFields::read(message, value, path, rules_of<T>(), 1, kTag);
    if (!fields) return std::unexpected(fields.error());
    auto alternative = fill<T>(message, *fields);
    if (!alternative) return std::unexpected(alternative.error());
    return Command(std::in_place_index<I>, std::move(*alternative));
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

// The fields of a message's root object (or array), the first of which is
// "version": any 32-bit unsigned number.
struct Envelope {
  ClosedFields fields;
  std::uint32_t version = 0;
};

Decoded<Envelope> read_envelope(const ParsedMessage& message,
                                std::span<const ClosedFields::FieldRule> rules) {
  auto fields = ClosedFields::read(message, message.root, Path{}, rules);
  if (!fields) return std::unexpected(fields.error());
  auto version =
      read_unsigned(*fields->at(0), fields->path(0), std::numeric_limits<std::uint32_t>::max());
  if (!version) return std::unexpected(version.error());
  return Envelope{std::move(*fields), static_cast<std::uint32_t>(*version)};
}

Decoded<Request> read_request(const ParsedMessage& message) {
  static constexpr std::array<ClosedFields::FieldRule, 2> kRules{
      {{"version", true}, {"command", true}}};
  auto envelope = read_envelope(message, kRules);
  if (!envelope) return std::unexpected(envelope.error());
  const ClosedFields& fields = envelope->fields;
  auto command = read_command(message, *fields.at(1), fields.path(1));
  if (!command) return std::unexpected(command.error());
  return Request{envelope->version, std::move(*command)};
}

Decoded<Failure> read_failure(const ParsedMessage& message, const Json& value, const Path& path) {
  static constexpr std::array<ClosedFields::FieldRule, 2> kRules{
      {{"code", true}, {"message", true}}};
  auto read = read_string_and_value(message, value, path, kRules);
  if (!read) return std::unexpected(read.error());
  auto text = read_string(read->second, read->second_path);
  if (!text) return std::unexpected(text.error());
  return Failure{std::move(read->first), std::move(*text)};
}

Decoded<Response> read_response(const ParsedMessage& message) {
  static constexpr std::array<ClosedFields::FieldRule, 4> kRules{
      {{"version", true}, {"ok", true}, {"data", true}, {"error", false}}};
  auto envelope = read_envelope(message, kRules);
  if (!envelope) return std::unexpected(envelope.error());
  const ClosedFields* fields = &envelope->fields;
  auto ok = read_bool(*fields->at(1), fields->path(1));
  if (!ok) return std::unexpected(ok.error());
  Response response;
  response.version = envelope->version;
  response.ok = *ok;
  response.data = *fields->at(2);
  if (const Json* error = fields->at(3); error != nullptr && !error->is_null()) {
    auto failure_value = read_failure(message, *error, fields->path(3));
    if (!failure_value) return std::unexpected(failure_value.error());
    response.error = std::move(*failure_value);
  }
  return response;
}

}  // namespace

std::string_view write_op_name(WriteKind kind) {
  for (const auto& [name, k] : kWriteOpNames) {
    if (k == kind) return name;
  }
  return "put";
}

void append_unsigned(std::string& out, std::uint64_t value) {
  std::array<char, 24> digits{};
  auto [end, code] = std::to_chars(digits.data(), digits.data() + digits.size(), value);
  (void)code;  // 24 bytes always hold a 64-bit number
  out.append(digits.data(), end);
}

std::string_view namespace_kind_name(NamespaceKind kind) {
  return kind == NamespaceKind::Den ? "den" : "warren";
}

std::string_view op_name(const Command& command) { return kOpNames[command.index()]; }
std::string_view op_name_of_index(std::size_t index) { return kOpNames[index]; }

bool stores_document(const Command& command) {
  return std::holds_alternative<Put>(command) || std::holds_alternative<Insert>(command) ||
         std::holds_alternative<Update>(command) || std::holds_alternative<Write>(command);
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

Response failure(std::string_view code, std::string_view message) {
  Response response;
  response.ok = false;
  response.data = nullptr;
  response.error = Failure{std::string(code), std::string(message)};
  return response;
}

std::string_view ResponseError::text() const {
  return kind == ResponseErrorKind::UnsupportedVersion ? kUnsupportedServerVersionText
                                                       : kInvalidFrameText;
}

std::expected<Response, ResponseError> decode_response(std::string_view body) {
  auto message = parse_message(body, kMaxJsonDepth + kResponseEnvelopeDepth);
  if (!message) {
    return std::unexpected(ResponseError{ResponseErrorKind::Malformed, message.error()});
  }
  auto response = read_response(*message);
  if (!response) {
    return std::unexpected(ResponseError{ResponseErrorKind::Malformed, response.error()});
  }
  if (response->version != kProtocolVersion) {
    return std::unexpected(
        ResponseError{ResponseErrorKind::UnsupportedVersion, "server speaks another version"});
  }
  return std::move(*response);
}

}  // namespace tovik::server
