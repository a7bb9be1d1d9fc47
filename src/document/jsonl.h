// JSON lines: the import and export format of documents. One JSON object
// per line, UTF-8.
//
//   den form       {"id":"a", ...the other members in stored order}
//                  (the id member may be given another name, e.g. "_id")
//   database form  {"den":d,"document":{...as get returns it},"warren":w}
//
// Readers take one physical line without its line feed and say what it
// holds: nothing (a blank line), an entry, or why it is refused; the caller
// adds "line <n>: ". Writers produce one line without its line feed from a
// stored document text. All functions are pure; the readers keep the ids
// they have seen, to refuse a repeated one.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/store.h"
#include "document/doc_error.h"
#include "document/json.h"

namespace tovik {

inline constexpr std::string_view kDefaultIdField = "id";

// One document of a den's import: its id and what to store (the id member
// is "id" when present; another id field has been taken out).
struct DocumentLine {
  std::string id;
  Json document;
};

// One line of a whole-database import.
struct DatabaseLine {
  std::string warren;
  std::string den;
  std::string id;
  Json document;
};

// A line of spaces, tabs and carriage returns only is blank.
bool is_blank_line(std::string_view line);

// The keys met so far and the line of each, to name the first line of a
// repeat. Keys that come in ascending order (as exports write them) are
// kept in a sorted list, the others in a hash map.
class Sightings {
 public:
  // The line where key was first seen, or nullopt (and key is noted).
  std::optional<std::uint64_t> note(std::string_view key, std::uint64_t line);

 private:
  std::vector<std::pair<std::string, std::uint64_t>> ascending_;
  std::unordered_map<std::string, std::uint64_t> others_;
};

// Reads the den form, the id taken from the member named id_field.
class DocumentLineReader {
 public:
  explicit DocumentLineReader(std::string_view id_field = kDefaultIdField) : id_field_(id_field) {}

  // line_number: the physical line (from 1), remembered for repeated ids.
  [[nodiscard]] std::expected<std::optional<DocumentLine>, DocError> read(
      std::string_view line, std::uint64_t line_number);

 private:
  std::string id_field_;
  Sightings seen_;
};

// Reads the database form.
class DatabaseLineReader {
 public:
  [[nodiscard]] std::expected<std::optional<DatabaseLine>, DocError> read(
      std::string_view line, std::uint64_t line_number);

 private:
  Sightings seen_;  // by record key
};

// The den form of a stored document text (compact, sorted, with its "id"):
// id_field and the id first, then the other members as stored. Fails with
// "member NAME collides with the id field" when a member other than "id"
// already has the id field's name, and as corruption when the text is no
// document or (when given) its "id" is not expected_id.
[[nodiscard]] std::expected<std::string, DocError> document_export_line(
    std::string_view stored, std::string_view id_field = kDefaultIdField,
    std::optional<std::string_view> expected_id = std::nullopt);

// The database form of a stored document text.
std::string database_export_line(std::string_view warren, std::string_view den,
                                 std::string_view stored);

// Hands each record of one den to sink in id order: the id its key names
// and the stored text, valid during the call only. The sink checks the text
// (document_export_line does, in the same pass that writes the line). A
// failing sink stops the walk with its message (as a DocError message). No
// limit: this walks the whole den.
using StoredSink =
    std::function<std::expected<void, std::string>(std::string_view id, std::string_view stored)>;
[[nodiscard]] std::expected<void, DocError> walk_den(Store& store, std::string_view warren,
                                                     std::string_view den, const StoredSink& sink);

// Hands every document of the database to sink in stored key order.
using DatabaseSink = std::function<std::expected<void, std::string>(
    std::string_view warren, std::string_view den, std::string_view stored)>;
[[nodiscard]] std::expected<void, DocError> walk_database(Store& store, const DatabaseSink& sink);

// True when the database holds no document and no den (warren markers
// alone may be present).
[[nodiscard]] std::expected<bool, DocError> holds_no_den(Store& store);

}  // namespace tovik
