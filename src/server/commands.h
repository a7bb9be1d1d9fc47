// The commands a client sends: one struct per operation, each declaring its
// wire name (kOp) and its fields (kFields, see command_fields.h) beside its
// members. The request codec reads and writes every command from those
// declarations alone.
//
// Command is a closed set tagged by the key "op". The variant index of
// Command is the operation's index on the wire: keep the alternatives in
// this order. Adding a command is its struct here, in the variant, and its
// executor overload in dispatch.cc (std::visit makes that one exhaustive).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "document/documents.h"
#include "document/json.h"
#include "document/namespaces.h"
#include "document/queries.h"
#include "server/command_fields.h"

namespace tovik::server {

// The document layer's kind; wire values "warren" and "den".
using NamespaceKind = ::tovik::NamespaceKind;

std::string_view namespace_kind_name(NamespaceKind kind);

inline constexpr std::tuple<> kNoFields{};

// In wire order (index 0 to 30).
struct Create {
  static constexpr std::string_view kOp = "create";
  NamespaceKind kind = NamespaceKind::Warren;
  std::string name;
  static constexpr auto kFields = std::tuple{fields::namespace_kind("kind", &Create::kind),
                                             fields::text("name", &Create::name)};
};
struct DropEmpty {
  static constexpr std::string_view kOp = "drop_empty";
  NamespaceKind kind = NamespaceKind::Warren;
  std::string name;
  static constexpr auto kFields = std::tuple{fields::namespace_kind("kind", &DropEmpty::kind),
                                             fields::text("name", &DropEmpty::name)};
};
struct Navigate {
  static constexpr std::string_view kOp = "navigate";
  std::string name;
  static constexpr auto kFields = std::tuple{fields::text("name", &Navigate::name)};
};
struct Warrens {
  static constexpr std::string_view kOp = "warrens";
  static constexpr auto kFields = kNoFields;
};
struct Dens {
  static constexpr std::string_view kOp = "dens";
  static constexpr auto kFields = kNoFields;
};
struct Shinies {
  static constexpr std::string_view kOp = "shinies";
  static constexpr auto kFields = kNoFields;
};
struct Auth {
  static constexpr std::string_view kOp = "auth";
  std::string username;
  std::string password;
  static constexpr auto kFields = std::tuple{fields::text("username", &Auth::username),
                                             fields::text("password", &Auth::password)};
};
struct Use {
  static constexpr std::string_view kOp = "use";
  std::string collection;
  static constexpr auto kFields = std::tuple{fields::text("collection", &Use::collection)};
};
struct Collections {
  static constexpr std::string_view kOp = "collections";
  static constexpr auto kFields = kNoFields;
};
struct Put {
  static constexpr std::string_view kOp = "put";
  std::string id;
  Json document;
  static constexpr auto kFields =
      std::tuple{fields::text("id", &Put::id), fields::any_value("document", &Put::document)};
};
struct Insert {
  static constexpr std::string_view kOp = "insert";
  std::string id;
  Json document;
  static constexpr auto kFields =
      std::tuple{fields::text("id", &Insert::id), fields::any_value("document", &Insert::document)};
};
struct Update {
  static constexpr std::string_view kOp = "update";
  std::string id;
  Json fields;  // the update's own fields (set values or operators)
  static constexpr auto kFields =
      std::tuple{fields::text("id", &Update::id), fields::any_value("fields", &Update::fields)};
};
struct Page {
  static constexpr std::string_view kOp = "page";
  std::uint64_t limit = 0;           // range checked by the executor, not here
  std::optional<std::string> after;  // absent or null: no cursor
  std::optional<Filter> filter;      // absent or null: no filter
  static constexpr auto kFields = std::tuple{
      fields::unsigned_up_to("limit", &Page::limit, std::numeric_limits<std::size_t>::max()),
      fields::optional_text("after", &Page::after),
      fields::optional_filter("filter", &Page::filter)};
};
struct Get {
  static constexpr std::string_view kOp = "get";
  std::string id;
  static constexpr auto kFields = std::tuple{fields::text("id", &Get::id)};
};
struct Delete {
  static constexpr std::string_view kOp = "delete";
  std::string id;
  static constexpr auto kFields = std::tuple{fields::text("id", &Delete::id)};
};
struct Find {
  static constexpr std::string_view kOp = "find";
  std::string field;
  Json value;
  static constexpr auto kFields =
      std::tuple{fields::text("field", &Find::field), fields::any_value("value", &Find::value)};
};
struct Scan {
  static constexpr std::string_view kOp = "scan";
  static constexpr auto kFields = kNoFields;
};
struct Stats {
  static constexpr std::string_view kOp = "stats";
  static constexpr auto kFields = kNoFields;
};
struct Check {
  static constexpr std::string_view kOp = "check";
  static constexpr auto kFields = kNoFields;
};
struct Quit {
  static constexpr std::string_view kOp = "quit";
  static constexpr auto kFields = kNoFields;
};
// Operating a running server.
struct Backup {
  static constexpr std::string_view kOp = "backup";
  std::string name;  // a file name in the server's backup directory
  static constexpr auto kFields = std::tuple{fields::text("name", &Backup::name)};
};
struct Usage {
  static constexpr std::string_view kOp = "usage";
  static constexpr auto kFields = kNoFields;
};
struct Server {
  static constexpr std::string_view kOp = "server";
  static constexpr auto kFields = kNoFields;
};

// Several document writes on the current den, in one commit. Each element
// is {"op":"put"|"insert"|"update","id":..,"document":object} or
// {"op":"delete","id":..} (closed, or the array of its fields after the
// tag); the document of an update holds its fields.
struct Write {
  static constexpr std::string_view kOp = "write";
  std::vector<DocumentWrite> ops;
  static constexpr auto kFields = std::tuple{fields::write_ops("ops", &Write::ops)};
};

struct Query {
  static constexpr std::string_view kOp = "query";
  Json filter;                                     // any value; the executor compiles it
  std::optional<std::vector<std::string>> fields;  // absent or null: whole documents
  std::uint64_t limit = 0;                         // range checked by the executor
  // Absent or null: from the start. Otherwise an id, or with sort the
  // opaque cursor a sorted page answered in next_after.
  std::optional<std::string> after;
  // Paths, "-" first for descending; absent or null: id order. Added after
  // the first form, as skip: both may be left out of the array form.
  std::optional<std::vector<std::string>> sort = std::nullopt;
  std::optional<std::uint64_t> skip = std::nullopt;  // absent or null: 0; range checked later
  // Set by the decoder when the filter's text repeated a key: the message
  // the executor fails with (repeated_filter_key_message). Never sent.
  std::optional<std::string> filter_refusal = std::nullopt;
  static constexpr auto kFields = std::tuple{
      fields::query_filter("filter", &Query::filter, &Query::filter_refusal),
      fields::optional_texts("fields", &Query::fields),
      fields::unsigned_up_to("limit", &Query::limit, std::numeric_limits<std::uint64_t>::max()),
      fields::optional_text("after", &Query::after),
      fields::appended(fields::optional_texts("sort", &Query::sort)),
      fields::appended(fields::optional_unsigned_up_to("skip", &Query::skip,
                                                       std::numeric_limits<std::uint64_t>::max()))};
};
struct Count {
  static constexpr std::string_view kOp = "count";
  Json filter;
  std::optional<std::string> filter_refusal = std::nullopt;  // as in Query
  static constexpr auto kFields =
      std::tuple{fields::query_filter("filter", &Count::filter, &Count::filter_refusal)};
};

// Every document of the current den that the filter matches, changed in one
// commit or not at all.
struct UpdateMany {
  static constexpr std::string_view kOp = "update_many";
  Json filter;
  Json update;  // as update's fields: a merge or operators
  std::optional<std::string> filter_refusal = std::nullopt;  // as in Query
  static constexpr auto kFields =
      std::tuple{fields::query_filter("filter", &UpdateMany::filter, &UpdateMany::filter_refusal),
                 fields::object_value("update", &UpdateMany::update)};
};
struct DeleteMany {
  static constexpr std::string_view kOp = "delete_many";
  Json filter;
  std::optional<std::string> filter_refusal = std::nullopt;  // as in Query
  static constexpr auto kFields =
      std::tuple{fields::query_filter("filter", &DeleteMany::filter, &DeleteMany::filter_refusal)};
};
// The distinct values at a path among the documents the filter matches.
struct Distinct {
  static constexpr std::string_view kOp = "distinct";
  std::string path;
  Json filter;                                               // null (absent): every document
  std::optional<std::string> filter_refusal = std::nullopt;  // as in Query
  static constexpr auto kFields = std::tuple{
      fields::text("path", &Distinct::path),
      fields::optional_query_filter("filter", &Distinct::filter, &Distinct::filter_refusal)};
};
// A warren or den with everything in it, in one commit.
struct Drop {
  static constexpr std::string_view kOp = "drop";
  NamespaceKind kind = NamespaceKind::Warren;
  std::string name;
  static constexpr auto kFields =
      std::tuple{fields::namespace_kind("kind", &Drop::kind), fields::text("name", &Drop::name)};
};

// The changes of the server's recent commits in the session's place (its
// den, its warren, or everything), oldest first: those after the position
// (after, skip), where skip counts the changes of generation `after` that
// were already seen. Waits up to wait_ms for one when there are none yet.
// The numbers are any JSON value here: the executor checks them and names
// the field it refuses.
struct Changes {
  static constexpr std::string_view kOp = "changes";
  Json after;                                                // null: the current generation
  Json limit;                                                // null: 100
  Json wait_ms;                                              // null: 0
  Json filter;                                               // null: every put
  Json skip;                                                 // null: 0
  std::optional<std::string> filter_refusal = std::nullopt;  // as in Query
  static constexpr auto kFields = std::tuple{
      fields::optional_value("after", &Changes::after),
      fields::optional_value("limit", &Changes::limit),
      fields::optional_value("wait_ms", &Changes::wait_ms),
      fields::optional_query_filter("filter", &Changes::filter, &Changes::filter_refusal),
      fields::optional_value("skip", &Changes::skip)};
};

using Command =
    std::variant<Create, DropEmpty, Navigate, Warrens, Dens, Shinies, Auth, Use, Collections, Put,
                 Insert, Update, Page, Get, Delete, Find, Scan, Stats, Check, Quit, Backup, Usage,
                 Server, Write, Query, Count, UpdateMany, DeleteMany, Distinct, Drop, Changes>;

inline constexpr std::size_t kCommandCount = std::variant_size_v<Command>;

namespace command_table {
template <typename T>
consteval bool described() {
  static_assert(DescribedCommand<T>, "a command declares kOp and kFields (command_fields.h)");
  return true;
}
template <typename... T>
consteval std::array<std::string_view, sizeof...(T)> op_names(std::variant<T...>*) {
  static_assert((described<T>() && ...));
  return {T::kOp...};
}
}  // namespace command_table

// The "op" tags in variant order.
inline constexpr std::array<std::string_view, kCommandCount> kOpNames =
    command_table::op_names(static_cast<Command*>(nullptr));

namespace command_table {
consteval bool unique_names() {
  for (std::size_t i = 0; i < kOpNames.size(); ++i) {
    for (std::size_t j = i + 1; j < kOpNames.size(); ++j) {
      if (kOpNames[i] == kOpNames[j]) return false;
    }
  }
  return true;
}
static_assert(unique_names(), "two commands share an op name");
}  // namespace command_table

// The "op" tag of a command, e.g. "drop_empty".
inline std::string_view op_name(const Command& command) { return kOpNames[command.index()]; }
// The "op" tag of the command at that variant index (< kCommandCount).
inline std::string_view op_name_of_index(std::size_t index) { return kOpNames[index]; }

// The operations of a write: their "op" tags.
inline constexpr std::array<std::pair<std::string_view, WriteKind>, 4> kWriteOpNames{{
    {"put", WriteKind::Put},
    {"insert", WriteKind::Insert},
    {"update", WriteKind::Update},
    {"delete", WriteKind::Delete},
}};
// The "op" tag of a write operation of that kind, e.g. "update".
std::string_view write_op_name(WriteKind kind);

inline bool is_auth(const Command& command) { return std::holds_alternative<Auth>(command); }
inline bool is_quit(const Command& command) { return std::holds_alternative<Quit>(command); }

// put, insert, update, write and update_many: the commands that store a
// document they carry.
inline bool stores_document(const Command& command) {
  return std::holds_alternative<Put>(command) || std::holds_alternative<Insert>(command) ||
         std::holds_alternative<Update>(command) || std::holds_alternative<Write>(command) ||
         std::holds_alternative<UpdateMany>(command);
}

}  // namespace tovik::server
