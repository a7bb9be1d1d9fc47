#include "document/jsonl.h"

#include <algorithm>
#include <functional>
#include <utility>

#include "document/documents.h"
#include "document/keys.h"

namespace tovik {
namespace {

using LineResult = std::expected<std::optional<DocumentLine>, DocError>;

std::unexpected<DocError> refuse(std::string_view message) {
  return std::unexpected(DocError::message(message));
}

std::string json_quoted(std::string_view text) { return dump_compact(Json(text)); }

// The line as one JSON object, or why it is not one.
std::expected<Json, std::string> read_object(std::string_view line) {
  auto value = parse_json(line);
  if (!value) {
    return std::unexpected(value.error().message + " at column " +
                           std::to_string(value.error().column));
  }
  if (!value->is_object()) return std::unexpected(std::string("not a JSON object"));
  return std::move(*value);
}

// The id held by member `name` of object, or why there is none.
std::expected<std::string, std::string> read_id(const Json& object, std::string_view name) {
  const auto found = object.find(std::string(name));
  if (found == object.end()) return std::unexpected("no " + json_quoted(name) + " member");
  if (!found->is_string()) return std::unexpected(json_quoted(name) + " is not a string");
  std::string id = found->get<std::string>();
  if (!is_valid_document_id(id)) {
    return std::unexpected(json_quoted(name) + " is not a valid id (empty or holding NUL)");
  }
  return id;
}

// Remembers where each key was first seen; a repeat names that line.
std::expected<void, std::string> first_sighting(Sightings& seen, std::string_view key,
                                                std::uint64_t line_number) {
  if (auto first = seen.note(key, line_number)) {
    return std::unexpected("repeats the id of line " + std::to_string(*first));
  }
  return {};
}

// The raw text of a stored "id" value names id: compared in place when it
// holds no escape, decoded otherwise.
bool is_id_text(std::string_view raw, std::string_view id) {
  if (raw.size() == id.size() + 2 && raw.find('\\') == std::string_view::npos) {
    return raw.substr(1, id.size()) == id;
  }
  auto decoded = parse_json(raw);
  return decoded && decoded->is_string() && *decoded->get_ptr<const Json::string_t*>() == id;
}

// The general form of document_export_line, from the parsed document.
std::string export_line_of(const Json& document, std::string_view id_field) {
  std::string out = "{" + json_quoted(id_field) + ":" + dump_compact(document["id"]);
  for (const auto& [name, value] : document.items()) {
    if (name == "id") continue;
    out += "," + json_quoted(name) + ":" + dump_compact(value);
  }
  out += "}";
  return out;
}

}  // namespace

std::optional<std::uint64_t> Sightings::note(std::string_view key, std::uint64_t line) {
  if (ascending_.empty() || ascending_.back().first < key) {
    if (!others_.empty()) {
      const auto found = others_.find(std::string(key));
      if (found != others_.end()) return found->second;
    }
    ascending_.emplace_back(std::string(key), line);
    return std::nullopt;
  }
  const auto at =
      std::lower_bound(ascending_.begin(), ascending_.end(), key,
                       [](const auto& entry, std::string_view k) { return entry.first < k; });
  if (at != ascending_.end() && at->first == key) return at->second;
  const auto [found, added] = others_.emplace(std::string(key), line);
  if (!added) return found->second;
  return std::nullopt;
}

bool is_blank_line(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

LineResult DocumentLineReader::read(std::string_view line, std::uint64_t line_number) {
  if (is_blank_line(line)) return std::optional<DocumentLine>();
  auto object = read_object(line);
  if (!object) return refuse(object.error());
  auto id = read_id(*object, id_field_);
  if (!id) return refuse(id.error());
  if (id_field_ != kDefaultIdField) {
    if (object->contains(kDefaultIdField)) {
      return refuse("member id collides with the id field " + json_quoted(id_field_));
    }
    object->erase(id_field_);
  }
  auto seen = first_sighting(seen_, *id, line_number);
  if (!seen) return refuse(seen.error());
  return std::optional<DocumentLine>(DocumentLine{std::move(*id), std::move(*object)});
}

std::expected<std::optional<DatabaseLine>, DocError> DatabaseLineReader::read(
    std::string_view line, std::uint64_t line_number) {
  if (is_blank_line(line)) return std::optional<DatabaseLine>();
  auto object = read_object(line);
  if (!object) return refuse(object.error());
  for (const auto& [name, value] : object->items()) {
    if (name != "den" && name != "document" && name != "warren") {
      return refuse("unknown member " + json_quoted(name));
    }
  }
  DatabaseLine entry;
  for (auto [name, target] : {std::pair{"warren", &entry.warren}, std::pair{"den", &entry.den}}) {
    const auto found = object->find(name);
    if (found == object->end() || !found->is_string()) {
      return refuse(json_quoted(name) + " must be a string");
    }
    *target = found->get<std::string>();
  }
  const auto document = object->find("document");
  if (document == object->end() || !document->is_object()) {
    return refuse("\"document\" must be an object");
  }
  auto id = read_id(*document, kDefaultIdField);
  if (!id) return refuse("document: " + id.error());
  auto key = document_key(entry.warren, entry.den, *id);
  if (!key || !is_valid_name(entry.warren) ||
      (entry.warren == kDefaultWarren ? !is_valid_collection_name(entry.den)
                                      : !is_valid_name(entry.den))) {
    return refuse("invalid warren or den name");
  }
  auto seen = first_sighting(seen_, *key, line_number);
  if (!seen) return refuse(seen.error());
  entry.id = std::move(*id);
  entry.document = std::move(*document);
  return std::optional<DatabaseLine>(std::move(entry));
}

std::expected<std::string, DocError> document_export_line(
    std::string_view stored, std::string_view id_field,
    std::optional<std::string_view> expected_id) {
  const std::string_view names[2] = {kDefaultIdField, id_field};
  std::optional<std::string_view> raw[2];
  bool canonical = false;
  auto outlined = outline_json(stored, names, raw, &canonical);
  const auto corrupt = [] { return std::unexpected(DocError(StoreError::Corrupt)); };
  if (!outlined || !*outlined || !raw[0] || raw[0]->empty() || raw[0]->front() != '"') {
    return corrupt();
  }
  if (expected_id && !is_id_text(*raw[0], *expected_id)) return corrupt();
  if (id_field != kDefaultIdField && raw[1]) {
    return refuse("member " + std::string(id_field) + " collides with the id field");
  }
  // In the compact form the id member is `"id":` and its value, with a
  // comma on one side unless it is the only member. Text in another form
  // is rebuilt from the parsed document.
  const std::size_t value_at = static_cast<std::size_t>(raw[0]->data() - stored.data());
  constexpr std::string_view kIdKey = "\"id\":";
  if (!canonical || value_at < 1 + kIdKey.size() ||
      stored.substr(value_at - kIdKey.size(), kIdKey.size()) != kIdKey) {
    auto document = parse_json(stored);
    if (!document) return corrupt();
    return export_line_of(*document, id_field);
  }
  std::size_t cut_from = value_at - kIdKey.size();
  std::size_t cut_to = value_at + raw[0]->size();
  if (stored[cut_to] == ',') {
    ++cut_to;
  } else if (stored[cut_from - 1] == ',') {
    --cut_from;
  }
  std::string out;
  out.reserve(stored.size() + id_field.size());
  out += '{';
  out += id_field == kDefaultIdField ? std::string_view("\"id\"") : json_quoted(id_field);
  out += ':';
  out += *raw[0];
  // The rest without its braces: what came before the id and what after.
  const std::string_view before = stored.substr(1, cut_from - 1);
  const std::string_view after = stored.substr(cut_to, stored.size() - 1 - cut_to);
  if (!before.empty() || !after.empty()) out += ',';
  out += before;
  out += after;
  out += '}';
  return out;
}

std::string database_export_line(std::string_view warren, std::string_view den,
                                 std::string_view stored) {
  std::string out;
  out.reserve(stored.size() + warren.size() + den.size() + 40);
  out += "{\"den\":";
  out += json_quoted(den);
  out += ",\"document\":";
  out += stored;
  out += ",\"warren\":";
  out += json_quoted(warren);
  out += '}';
  return out;
}

std::expected<void, DocError> walk_den(Store& store, std::string_view warren, std::string_view den,
                                       const StoredSink& sink) {
  auto fail = [](StoreError error) { return std::unexpected(DocError(error)); };
  auto prefix = collection_prefix(warren, den);
  if (!prefix) return fail(prefix.error());
  if (store.poisoned()) return fail(StoreError::Poisoned);
  auto cursor = store.scan_from(*prefix);
  if (!cursor) return fail(cursor.error());
  for (;;) {
    auto more = cursor->next();
    if (!more) return fail(more.error());
    if (!*more || !cursor->key().starts_with(*prefix)) return {};
    if (auto sunk = sink(cursor->key().substr(prefix->size()), cursor->value()); !sunk) {
      return refuse(sunk.error());
    }
  }
}

std::expected<void, DocError> walk_database(Store& store, const DatabaseSink& sink) {
  auto fail = [](StoreError error) { return std::unexpected(DocError(error)); };
  if (store.poisoned()) return fail(StoreError::Poisoned);
  auto cursor = store.scan_from("");
  if (!cursor) return fail(cursor.error());
  std::string rewritten;
  for (;;) {
    auto more = cursor->next();
    if (!more) return fail(more.error());
    if (!*more) return {};
    if (is_marker_key(cursor->key())) continue;
    auto name = decode_document_key(cursor->key());
    if (!name) return fail(StoreError::Corrupt);
    auto text = stored_document_text(cursor->value(), name->id, rewritten);
    if (!text) return fail(text.error());
    if (auto sunk = sink(name->warren, name->den, *text); !sunk) return refuse(sunk.error());
  }
}

std::expected<bool, DocError> holds_no_den(Store& store) {
  if (store.poisoned()) return std::unexpected(StoreError::Poisoned);
  auto cursor = store.scan_from("");
  if (!cursor) return std::unexpected(cursor.error());
  for (;;) {
    auto more = cursor->next();
    if (!more) return std::unexpected(more.error());
    if (!*more) return true;
    if (!is_marker_key(cursor->key())) return false;
    auto marker = decode_marker_key(cursor->key(), cursor->value());
    if (!marker) return std::unexpected(marker.error());
    if (marker->den) return false;
  }
}

}  // namespace tovik
