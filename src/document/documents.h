// Documents (shinies): JSON objects stored in a den under a string id.
//
// Stored form: the compact JSON text (dump_compact) of an object whose
// member "id" is the document's id as a JSON string. Reading a stored value
// back requires exactly that; anything else is StoreError::Corrupt.
//
// Writes go through a WriteBatch: each write is checked against the store as
// the writes staged before it left it, and the batch is one commit of the
// record store. put/insert/update/delete of one document are the batch of
// one. Document operations take the warren and den explicitly: the executor
// resolves them from the session, the offline tool passes kDefaultWarren. A
// failed operation writes nothing.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/store.h"
#include "document/doc_error.h"
#include "document/json.h"

namespace tovik {

// The writes below take the largest stored text they may write; a server may
// allow less than the store holds. Over it they fail with Invalid.
inline constexpr std::uint64_t kNoDocumentLimit = UINT64_MAX;

enum class WriteKind { Put, Insert, Update, Delete };

// One document write. `document` is the document for put and insert, the
// fields for update, unused for delete.
struct DocumentWrite {
  WriteKind kind = WriteKind::Put;
  std::string id;
  Json document;
};

// Document writes staged over the store's current snapshot and committed as
// one batch. The store must not commit on its own while a batch is staged
// (the caller holds it exclusively from the first stage to commit).
class WriteBatch {
 public:
  explicit WriteBatch(Store& store, std::uint64_t max_document_bytes = kNoDocumentLimit)
      : store_(store), max_document_bytes_(max_document_bytes) {}

  // Checks write as the single-document function of its kind does, against
  // the store plus the writes staged so far, and stages it; answers what
  // that function answers. A failed write stages nothing.
  [[nodiscard]] std::expected<Json, DocError> stage(std::string_view warren, std::string_view den,
                                                    const DocumentWrite& write);
  // The same without building a DocumentWrite (no copy of the document).
  [[nodiscard]] std::expected<Json, DocError> stage(std::string_view warren, std::string_view den,
                                                    WriteKind kind, std::string_view id,
                                                    const Json& document);
  // A put of text already written: the compact text (dump_compact) of an
  // object whose "id" is the string id, as a caller that read a document
  // and changed it holds it. Checked and staged as stage's put, without
  // writing the document again.
  [[nodiscard]] std::expected<void, DocError> stage_put_text(std::string_view warren,
                                                             std::string_view den,
                                                             std::string_view id, std::string text);

  // A point to roll back to: every write staged after mark() is undone by
  // rollback(mark), so a group of writes can fail as a whole.
  std::size_t mark() const { return journal_.size(); }
  void rollback(std::size_t mark);

  // Distinct records the batch writes (the store's batch limit counts
  // these).
  std::size_t records() const { return pending_.size(); }
  // The text of the staged writes.
  std::uint64_t staged_bytes() const { return staged_bytes_; }

  // One store commit of everything staged (nothing to do when empty); the
  // batch is empty afterwards whatever the outcome.
  [[nodiscard]] std::expected<void, StoreError> commit();
  // commit through Store::apply_bulk: any number of records in one commit
  // (imports), where commit keeps the store's batch limit.
  [[nodiscard]] std::expected<void, StoreError> commit_bulk();

 private:
  // The record under key as the staged writes leave it.
  [[nodiscard]] std::expected<std::optional<std::string>, StoreError> current(
      const std::string& key);
  void set(std::string key, std::optional<std::string> value);
  std::vector<Mutation> take_mutations();
  [[nodiscard]] std::expected<void, DocError> store_text(std::string key, std::string text);
  [[nodiscard]] std::expected<Json, DocError> put(std::string key, std::string_view id,
                                                  const Json& document);

  Store& store_;
  std::uint64_t max_document_bytes_;
  std::uint64_t staged_bytes_ = 0;
  std::map<std::string, std::optional<std::string>, std::less<>> pending_;
  // Per set(): the key and its pending entry before it (nullopt: none).
  std::vector<std::pair<std::string, std::optional<std::optional<std::string>>>> journal_;
};

// {"stored": id}. Replaces any document under id. document must be an
// object whose "id", if present, is the string id.
[[nodiscard]] std::expected<Json, DocError> put_document(
    Store& store, std::string_view warren, std::string_view den, std::string_view id,
    const Json& document, std::uint64_t max_document_bytes = kNoDocumentLimit);
// {"inserted": id}, or the message "shiny already exists".
[[nodiscard]] std::expected<Json, DocError> insert_document(
    Store& store, std::string_view warren, std::string_view den, std::string_view id,
    const Json& document, std::uint64_t max_document_bytes = kNoDocumentLimit);
// {"updated": id}: sets each top-level member of fields (a non-empty object
// without "id") in the stored document, or applies its update operators
// (DocumentUpdate, update_operators.h); or the message "shiny does not
// exist".
[[nodiscard]] std::expected<Json, DocError> update_document(
    Store& store, std::string_view warren, std::string_view den, std::string_view id,
    const Json& fields, std::uint64_t max_document_bytes = kNoDocumentLimit);
// The stored object ("id" included), or nullopt when there is none.
[[nodiscard]] std::expected<std::optional<Json>, DocError> get_document(Store& store,
                                                                        std::string_view warren,
                                                                        std::string_view den,
                                                                        std::string_view id);
// {"deleted": id}; deleting an absent id still commits.
[[nodiscard]] std::expected<Json, DocError> delete_document(Store& store, std::string_view warren,
                                                            std::string_view den,
                                                            std::string_view id);

// The whole-store integrity check: Store::verify with make_document_validator.
[[nodiscard]] std::expected<void, StoreError> check_documents(Store& store);

// A fresh RecordValidator for one Store::verify walk (it remembers the last
// warren marker seen, so use one per walk): markers must decode with empty
// values and den markers follow their warren marker; every other record
// must be a document whose stored "id" matches its key.
RecordValidator make_document_validator();

// Reads a stored value as the document with the given id (Corrupt if it is
// not one).
[[nodiscard]] std::expected<Json, StoreError> read_stored_document(std::string_view value,
                                                                   std::string_view id);

// Checks a stored value as read_stored_document does, without building the
// document: the integrity check's path, and the queries', which return the
// stored text itself.
bool is_stored_document(std::string_view value, std::string_view id);

// Checks a stored value as read_stored_document does and decodes only its
// top-level member `member` (nullopt when absent): how a filter is tested
// without building every document examined.
[[nodiscard]] std::expected<std::optional<Json>, StoreError> read_stored_member(
    std::string_view value, std::string_view id, std::string_view member);

// As read_stored_member, but hands out the member's value undecoded: its
// text within value, for json_text_equal. With canonical, also tells
// whether value is in the compact form (see stored_document_text).
[[nodiscard]] std::expected<std::optional<std::string_view>, StoreError> read_stored_member_text(
    std::string_view value, std::string_view id, std::string_view member,
    bool* canonical = nullptr);

// The text every read hands out for a stored value: the compact form with
// sorted keys that get returns. Checks value as is_stored_document does, in
// the same pass finding whether it already is in that form (everything this
// layer writes is): then the result is value itself. A value written by
// another tool (blanks, keys out of order or repeated, other escapes or
// number spellings) is rewritten into `rewritten`, which the result views.
[[nodiscard]] std::expected<std::string_view, StoreError> stored_document_text(
    std::string_view value, std::string_view id, std::string& rewritten);
// The rewriting alone, for a value already checked and found not compact.
[[nodiscard]] std::expected<std::string_view, StoreError> compact_stored_text(
    std::string_view value, std::string& rewritten);

}  // namespace tovik
