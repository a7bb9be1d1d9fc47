// Documents (shinies): JSON objects stored in a den under a string id.
//
// Stored form: the compact JSON text (dump_compact) of an object whose
// member "id" is the document's id as a JSON string. Reading a stored value
// back requires exactly that; anything else is StoreError::Corrupt.
//
// Each write is one commit of the record store. Document operations take
// the warren and den explicitly: the executor resolves them from the
// session, the offline tool passes kDefaultWarren. A failed operation
// writes nothing.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

#include "core/store.h"
#include "document/doc_error.h"
#include "document/json.h"

namespace tovik {

// The writes below take the largest stored text they may write; a server may
// allow less than the store holds. Over it they fail with Invalid.
inline constexpr std::uint64_t kNoDocumentLimit = UINT64_MAX;

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
// without "id") in the stored document; or the message "shiny does not
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
// text within value, for json_text_equal.
[[nodiscard]] std::expected<std::optional<std::string_view>, StoreError> read_stored_member_text(
    std::string_view value, std::string_view id, std::string_view member);

}  // namespace tovik
