// The document layer's key space on top of the record store, and its name
// rules. Every record the layer writes has one of these keys:
//
//   form            key bytes                                   value
//   warren marker   00 'C' '1' 00 warren                        empty
//   den marker      00 'C' '1' 00 warren 00 den                 empty
//   namespaced key  00 'W' '1' 00 warren 00 den 00 id           stored document
//   plain key       den 00 id   (dens of the warren "default")  stored document
//
// Keys compare bytewise, so each group is contiguous: markers sort before
// namespaced keys ('C' < 'W'), both before plain keys (whose first byte is
// at least 01, since den names hold no 00); a warren marker is directly
// followed by its den markers; one den's documents share the collection
// prefix (everything before the id) and sort by id.
//
// Encoders fail with StoreError::Invalid, decoders (used on keys read back)
// with StoreError::Corrupt. All functions are pure.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/store_error.h"

namespace tovik {

inline constexpr std::string_view kDefaultWarren = "default";
inline constexpr std::string_view kMarkerPrefix{"\0C1\0", 4};
inline constexpr std::string_view kNamespacedPrefix{"\0W1\0", 4};
// Every plain key is at least this one-byte key, every other key below it.
inline constexpr std::string_view kFirstPlainKey{"\x01", 1};

inline constexpr std::size_t kMaxNameBytes = 256;
inline constexpr std::size_t kMaxCollectionNameBytes = 512;

// Warren and den names: 1-256 bytes, not "..", no U+0000-U+001F, no "/",
// no U+007F-U+009F. Names are UTF-8; invalid UTF-8 is not a valid name.
bool is_valid_name(std::string_view name);
// Collection names (dens of the default warren given to `use`): 1-512
// bytes, no 00 byte.
bool is_valid_collection_name(std::string_view name);
// Document ids: at least 1 byte, no 00 byte.
bool is_valid_document_id(std::string_view id);

// True for keys of at least 4 bytes starting with the marker prefix.
bool is_marker_key(std::string_view key);

// Warren marker when den is absent, den marker otherwise.
[[nodiscard]] std::expected<std::string, StoreError> marker_key(
    std::string_view warren, std::optional<std::string_view> den);
// The key bytes before a document id in the den (warren, den).
[[nodiscard]] std::expected<std::string, StoreError> collection_prefix(std::string_view warren,
                                                                       std::string_view den);
[[nodiscard]] std::expected<std::string, StoreError> document_key(std::string_view warren,
                                                                  std::string_view den,
                                                                  std::string_view id);

struct MarkerName {
  std::string warren;
  std::optional<std::string> den;
};

struct DocumentName {
  std::string warren;
  std::string den;
  std::string id;
};

// A key that is not a marker key, or a marker with a value, is Corrupt.
[[nodiscard]] std::expected<MarkerName, StoreError> decode_marker_key(std::string_view key,
                                                                      std::string_view value);
[[nodiscard]] std::expected<DocumentName, StoreError> decode_document_key(std::string_view key);

// The id of a document key, or nullopt where decode_document_key fails. For
// walks over one den: its keys share everything before the id, so a key that
// extends the collection prefix of the last key decoded in full (kept in
// `prefix` between calls) only needs its id checked; the decoder would accept
// it for the same reasons.
std::optional<std::string_view> document_id_of(std::string_view key, std::string& prefix);

}  // namespace tovik
