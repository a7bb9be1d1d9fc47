#include "document/documents.h"

#include <memory>
#include <string>
#include <utility>

#include "core/utf8.h"
#include "document/keys.h"
#include "document/update_operators.h"

namespace tovik {
namespace {

const Json* find_member(const Json& object, std::string_view name) {
  const auto& members = *object.get_ptr<const Json::object_t*>();
  const auto found = members.find(std::string(name));
  return found == members.end() ? nullptr : &found->second;
}

bool is_id_member(const Json* member, std::string_view id) {
  return member != nullptr && member->is_string() &&
         *member->get_ptr<const Json::string_t*>() == id;
}

std::expected<std::string, DocError> writable_key(std::string_view warren, std::string_view den,
                                                  std::string_view id) {
  auto key = document_key(warren, den, id);
  if (!key) return std::unexpected(key.error());
  // Keys are read back as UTF-8 text; a key that is not would make the
  // stored record unreadable and the whole store fail its check.
  if (!is_valid_utf8(*key)) return std::unexpected(StoreError::Invalid);
  return key;
}

// The raw text of a stored "id" value names id: compared in place when it
// holds no escape, decoded otherwise.
bool is_id_text(std::string_view raw, std::string_view id) {
  if (raw.size() == id.size() + 2 && raw.front() == '"' && raw.back() == '"' &&
      raw.find('\\') == std::string_view::npos) {
    return raw.substr(1, id.size()) == id;
  }
  auto decoded = parse_json(raw);
  return decoded && decoded->is_string() && *decoded->get_ptr<const Json::string_t*>() == id;
}

// Checks value as a stored document with this id; returns the raw text of
// `member` when asked for and present, and (when asked) whether value is in
// the compact form.
std::expected<std::optional<std::string_view>, StoreError> outline_stored(
    std::string_view value, std::string_view id, std::optional<std::string_view> member,
    bool* canonical) {
  const std::string_view names[2] = {"id", member.value_or("")};
  std::optional<std::string_view> raw[2];
  auto is_object =
      outline_json(value, std::span(names, member ? 2 : 1), std::span(raw, 2), canonical);
  if (!is_object || !*is_object || !raw[0] || !is_id_text(*raw[0], id)) {
    return std::unexpected(StoreError::Corrupt);
  }
  return raw[1];
}

}  // namespace

bool is_stored_document(std::string_view value, std::string_view id) {
  return outline_stored(value, id, std::nullopt, nullptr).has_value();
}

std::expected<std::string_view, StoreError> stored_document_text(std::string_view value,
                                                                 std::string_view id,
                                                                 std::string& rewritten) {
  bool canonical = false;
  auto checked = outline_stored(value, id, std::nullopt, &canonical);
  if (!checked) return std::unexpected(checked.error());
  if (canonical) return value;
  return compact_stored_text(value, rewritten);
}

std::expected<std::string_view, StoreError> compact_stored_text(std::string_view value,
                                                                std::string& rewritten) {
  auto document = parse_json(value);
  if (!document) return std::unexpected(StoreError::Corrupt);
  rewritten = dump_compact(*document);
  return std::string_view(rewritten);
}

std::expected<std::optional<Json>, StoreError> read_stored_member(std::string_view value,
                                                                  std::string_view id,
                                                                  std::string_view member) {
  auto raw = outline_stored(value, id, member, nullptr);
  if (!raw) return std::unexpected(raw.error());
  if (!*raw) return std::optional<Json>();
  auto decoded = parse_json(**raw);
  if (!decoded) return std::unexpected(StoreError::Corrupt);
  return std::optional<Json>(std::move(*decoded));
}

std::expected<std::optional<std::string_view>, StoreError> read_stored_member_text(
    std::string_view value, std::string_view id, std::string_view member, bool* canonical) {
  return outline_stored(value, id, member, canonical);
}

std::expected<Json, StoreError> read_stored_document(std::string_view value, std::string_view id) {
  auto document = parse_json(value);
  if (!document || !document->is_object()) return std::unexpected(StoreError::Corrupt);
  if (!is_id_member(find_member(*document, "id"), id)) {
    return std::unexpected(StoreError::Corrupt);
  }
  return std::move(*document);
}

// ---------------------------------------------------------------------------
// The one write path

void WriteBatch::set(std::string key, std::optional<std::string> value) {
  auto found = pending_.find(key);
  std::optional<std::optional<std::string>> before;
  if (found != pending_.end()) {
    if (found->second) staged_bytes_ -= found->second->size();
    before = std::move(found->second);
  }
  if (value) staged_bytes_ += value->size();
  journal_.emplace_back(key, std::move(before));
  pending_.insert_or_assign(std::move(key), std::move(value));
}

void WriteBatch::rollback(std::size_t mark) {
  while (journal_.size() > mark) {
    auto& [key, before] = journal_.back();
    auto found = pending_.find(key);
    if (found->second) staged_bytes_ -= found->second->size();
    if (before) {
      if (*before) staged_bytes_ += (*before)->size();
      found->second = std::move(*before);
    } else {
      pending_.erase(found);
    }
    journal_.pop_back();
  }
}

std::expected<std::optional<std::string>, StoreError> WriteBatch::current(const std::string& key) {
  const auto found = pending_.find(key);
  if (found != pending_.end()) return found->second;
  return store_.get(key);
}

std::vector<Mutation> WriteBatch::take_mutations() {
  std::vector<Mutation> batch;
  batch.reserve(pending_.size());
  for (auto& [key, value] : pending_) batch.push_back(Mutation{key, std::move(value)});
  pending_.clear();
  journal_.clear();
  staged_bytes_ = 0;
  return batch;
}

std::expected<void, StoreError> WriteBatch::commit() { return store_.apply(take_mutations()); }

std::expected<void, StoreError> WriteBatch::commit_bulk() {
  return store_.apply_bulk(take_mutations());
}

// Stages the text of an object already known to carry the right "id".
std::expected<void, DocError> WriteBatch::store_text(std::string key, std::string text) {
  if (text.size() > max_document_bytes_) return std::unexpected(StoreError::Invalid);
  set(std::move(key), std::move(text));
  return {};
}

std::expected<Json, DocError> WriteBatch::put(std::string key, std::string_view id,
                                              const Json& document) {
  if (!document.is_object()) return std::unexpected(StoreError::Invalid);
  const Json* given_id = find_member(document, "id");
  if (given_id != nullptr && !is_id_member(given_id, id)) {
    return std::unexpected(StoreError::Invalid);
  }
  std::expected<void, DocError> stored;
  if (given_id != nullptr) {
    stored = store_text(std::move(key), dump_compact(document));
  } else {
    Json with_id = document;
    with_id["id"] = std::string(id);
    stored = store_text(std::move(key), dump_compact(with_id));
  }
  if (!stored) return std::unexpected(stored.error());
  return Json();
}

std::expected<void, DocError> WriteBatch::stage_put_text(std::string_view warren,
                                                         std::string_view den, std::string_view id,
                                                         std::string text) {
  auto key = writable_key(warren, den, id);
  if (!key) return std::unexpected(key.error());
  return store_text(std::move(*key), std::move(text));
}

std::expected<Json, DocError> WriteBatch::stage(std::string_view warren, std::string_view den,
                                                const DocumentWrite& write) {
  return stage(warren, den, write.kind, write.id, write.document);
}

std::expected<Json, DocError> WriteBatch::stage(std::string_view warren, std::string_view den,
                                                WriteKind kind, std::string_view id,
                                                const Json& document) {
  if (kind == WriteKind::Delete) {
    auto key = document_key(warren, den, id);
    if (!key) return std::unexpected(key.error());
    // Deleting an absent id still commits.
    set(std::move(*key), std::nullopt);
    return Json{{"deleted", std::string(id)}};
  }
  std::optional<DocumentUpdate> update;
  if (kind == WriteKind::Update) {
    auto compiled = DocumentUpdate::compile(document);
    if (!compiled) return std::unexpected(compiled.error());
    update = std::move(*compiled);
  }
  auto key = writable_key(warren, den, id);
  if (!key) return std::unexpected(key.error());
  if (kind == WriteKind::Put) {
    auto stored = put(std::move(*key), id, document);
    if (!stored) return stored;
    return Json{{"stored", std::string(id)}};
  }
  auto existing = current(*key);
  if (!existing) return std::unexpected(existing.error());
  if (kind == WriteKind::Insert) {
    if (*existing) {
      if (!is_stored_document(**existing, id)) return std::unexpected(StoreError::Corrupt);
      return std::unexpected(DocError::message(kShinyAlreadyExists));
    }
    auto stored = put(std::move(*key), id, document);
    if (!stored) return stored;
    return Json{{"inserted", std::string(id)}};
  }
  if (!*existing) return std::unexpected(DocError::message(kShinyDoesNotExist));
  auto merged = read_stored_document(**existing, id);
  if (!merged) return std::unexpected(merged.error());
  if (auto applied = update->apply(*merged); !applied) return std::unexpected(applied.error());
  auto stored = put(std::move(*key), id, *merged);
  if (!stored) return stored;
  return Json{{"updated", std::string(id)}};
}

namespace {

std::expected<Json, DocError> write_one(Store& store, std::string_view warren, std::string_view den,
                                        DocumentWrite write, std::uint64_t max_document_bytes) {
  WriteBatch batch(store, max_document_bytes);
  auto answer = batch.stage(warren, den, write);
  if (!answer) return answer;
  auto committed = batch.commit();
  if (!committed) return std::unexpected(committed.error());
  return answer;
}

}  // namespace

std::expected<Json, DocError> put_document(Store& store, std::string_view warren,
                                           std::string_view den, std::string_view id,
                                           const Json& document, std::uint64_t max_document_bytes) {
  return write_one(store, warren, den, {WriteKind::Put, std::string(id), document},
                   max_document_bytes);
}

std::expected<Json, DocError> insert_document(Store& store, std::string_view warren,
                                              std::string_view den, std::string_view id,
                                              const Json& document,
                                              std::uint64_t max_document_bytes) {
  return write_one(store, warren, den, {WriteKind::Insert, std::string(id), document},
                   max_document_bytes);
}

std::expected<Json, DocError> update_document(Store& store, std::string_view warren,
                                              std::string_view den, std::string_view id,
                                              const Json& fields,
                                              std::uint64_t max_document_bytes) {
  return write_one(store, warren, den, {WriteKind::Update, std::string(id), fields},
                   max_document_bytes);
}

std::expected<std::optional<Json>, DocError> get_document(Store& store, std::string_view warren,
                                                          std::string_view den,
                                                          std::string_view id) {
  auto key = document_key(warren, den, id);
  if (!key) return std::unexpected(key.error());
  auto value = store.get(*key);
  if (!value) return std::unexpected(value.error());
  if (!*value) return std::optional<Json>();
  auto document = read_stored_document(**value, id);
  if (!document) return std::unexpected(document.error());
  return std::optional<Json>(std::move(*document));
}

std::expected<Json, DocError> delete_document(Store& store, std::string_view warren,
                                              std::string_view den, std::string_view id) {
  return write_one(store, warren, den, {WriteKind::Delete, std::string(id), Json()},
                   kNoDocumentLimit);
}

RecordValidator make_document_validator() {
  // Den markers must follow their warren marker directly in key order, so
  // the last warren marker seen is all the state the walk needs.
  auto last_warren = std::make_shared<std::optional<std::string>>();
  auto last_prefix = std::make_shared<std::string>();
  return [last_warren, last_prefix](std::string_view key, std::string_view value) {
    if (is_marker_key(key)) {
      auto marker = decode_marker_key(key, value);
      if (!marker) return false;
      if (!marker->den) {
        *last_warren = std::move(marker->warren);
        return true;
      }
      return *last_warren == marker->warren;
    }
    const auto id = document_id_of(key, *last_prefix);
    return id && is_stored_document(value, *id);
  };
}

std::expected<void, StoreError> check_documents(Store& store) {
  return store.verify(make_document_validator());
}

}  // namespace tovik
