// The order of sorted queries and distinct values, and the cursor that
// resumes a sorted walk.
//
// One order over every JSON value (SortValue), kinds first:
//
//   rank  kind                     within the kind
//   0     missing member, null     all equal
//   1     number                   by value; integers and floating-point
//                                  numbers together, exact for 64-bit
//                                  integers (1 and 1.0 are equal here)
//   2     string                   bytewise (UTF-8 bytes)
//   3     object                   bytewise by its compact text
//   4     array                    bytewise by its compact text
//   5     boolean                  false, true
//
// A sort (SortOrder) is 1 to kMaxSortPaths dotted paths, as filters write
// them, each ascending or, with a leading "-", descending. Documents are
// ordered by the values at the paths, in turn, and then by id ascending:
// descending reverses a path's order but never the id tie-break, so every
// position in the order is unique.
//
// The value at a path steps through objects only. A step that meets
// anything else (an array too) makes the value missing; a path whose value
// is an array sorts by the array itself, by its compact text, not by an
// element.
//
// A cursor is opaque to callers: base64url (no padding) of the compact JSON
// array of the last document's sort values followed by its id. A sorted
// walk resumes strictly after that position, so documents that stay
// unchanged between pages are neither repeated nor skipped, whatever else
// is put or deleted in between.
//
// Everything here is pure; compiled orders are immutable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/store_error.h"
#include "document/json.h"
#include "document/json_number.h"

namespace tovik {

inline constexpr std::size_t kMaxSortPaths = 8;

inline constexpr std::string_view kSortEmpty = "sort needs at least one path";
inline constexpr std::string_view kSortTooManyPaths = "sort takes at most 8 paths";
inline constexpr std::string_view kInvalidSortCursor = "invalid cursor";

// One value's place in the order.
struct SortValue {
  enum class Rank : std::uint8_t { Null, Number, String, Object, Array, Boolean };

  Rank rank = Rank::Null;
  JsonNumber number;   // Number
  bool truth = false;  // Boolean
  std::string text;    // String: its bytes; Object, Array: compact text

  // nullptr stands for a missing member.
  static SortValue of(const Json* value);
  // The value back as JSON text (missing becomes null), for cursors.
  std::string json_text() const;
  // Float only when it was read as one: how distinct tells 1 from 1.0.
  bool is_float() const { return rank == Rank::Number && number.form == JsonNumber::Form::Float; }
};

// <0, 0 or >0 as a sorts before, with or after b.
int compare_sort_values(const SortValue& a, const SortValue& b);

// A dotted path's steps, refused as filters refuse them: "empty path",
// "empty step in path <path>".
[[nodiscard]] std::expected<std::vector<std::string>, std::string> split_sort_path(
    std::string_view path);

// The values of one document at a sort's paths, in the sort's order.
using SortKey = std::vector<SortValue>;

// A position in a sorted walk: the key and id of a document.
struct SortPosition {
  SortKey key;
  std::string id;
};

class SortOrder {
 public:
  // paths: 1 to kMaxSortPaths entries, each a dotted path with an optional
  // leading "-" (descending). The error is the message shown to users.
  [[nodiscard]] static std::expected<SortOrder, std::string> compile(
      std::span<const std::string> paths);

  std::size_t size() const { return paths_.size(); }

  // The key of a stored document, into key (its room reused from call to
  // call). Only the members the paths start with are read, without
  // validating the text (find_stored_members): text that is not an object
  // or breaks off is Corrupt, other damage may give a wrong key.
  [[nodiscard]] std::expected<void, StoreError> key_of_stored(std::string_view stored,
                                                              SortKey& key) const;
  // The key of a document held as a tree.
  SortKey key_of(const Json& document) const;

  // <0, 0 or >0: the order of (a_key, a_id) and (b_key, b_id). Only equal
  // ids compare equal.
  int compare(const SortKey& a_key, std::string_view a_id, const SortKey& b_key,
              std::string_view b_id) const;
  int compare(const SortPosition& a, const SortPosition& b) const {
    return compare(a.key, a.id, b.key, b.id);
  }

  // The opaque cursor of a position, and back. A cursor that is not one of
  // this order's (wrong number of values, not a possible id, damaged text)
  // is refused with kInvalidSortCursor.
  std::string encode_cursor(const SortPosition& position) const;
  [[nodiscard]] std::expected<SortPosition, std::string> decode_cursor(
      std::string_view cursor) const;

 private:
  struct Path {
    std::vector<std::string> steps;
    bool descending = false;
    std::size_t slot = 0;  // steps[0] among first_steps_
  };

  std::vector<Path> paths_;
  std::vector<std::string> first_steps_;  // distinct, for outlining stored text
};

}  // namespace tovik
