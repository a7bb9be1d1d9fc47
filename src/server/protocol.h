// The wire schema: every JSON message that crosses a client connection, and
// its encoders and decoders. Each message is the body of one frame (see
// transport.h); this file knows nothing of sockets.
//
//   Request  (client -> server)  {"command": Command, "version": 1}
//   Response (server -> client)  {"version":1,"ok":..,"data":..,"error":..}
//   Failure                      {"code": "...", "message": "..."}
//
// Command is a closed set of 26 operations tagged by the key "op". The
// variant index of Command is the operation's index on the wire: keep the
// alternatives in this order.
//
// Decoding is strict where the peer could smuggle ambiguity: closed objects
// (Request, the commands with fields, Equality, Response, Failure) refuse
// unknown keys, keys given twice and missing required keys at their own
// level. Inside any-value fields ("document", "fields", "value", "data") a
// repeated key keeps its last value, as everywhere else in the system.
// Commands without fields ignore extra keys. Each closed structure is also
// accepted as a JSON array of its fields in declaration order. Nesting is
// limited to kMaxJsonDepth levels in requests; responses may nest
// kResponseEnvelopeDepth levels more, so that a document of the maximum
// depth still comes back whole.
//
// All functions are pure, thread-safe and never throw: any byte sequence a
// peer sends yields a value or a decoding error.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/store.h"
#include "document/documents.h"
#include "document/json.h"
#include "document/namespaces.h"
#include "document/queries.h"
#include "document/usage.h"

namespace tovik::server {

inline constexpr std::uint32_t kProtocolVersion = 1;

// Failure codes and the fixed messages that go with them.
inline constexpr std::string_view kCodeBadFrame = "bad_frame";
inline constexpr std::string_view kCodeVersion = "version";
inline constexpr std::string_view kCodeAuthentication = "authentication";
inline constexpr std::string_view kCodeServerBusy = "server_busy";
inline constexpr std::string_view kCodeOperationFailed = "operation_failed";

inline constexpr std::string_view kBadFrameMessage =
    "invalid, incomplete, timed out, or oversized frame";
inline constexpr std::string_view kVersionMessage = "only protocol version 1 is supported";
inline constexpr std::string_view kAuthenticationMessage = "authentication failed";
inline constexpr std::string_view kServerBusyMessage = "connection limit reached";

// Client-side response errors (both of the invalid-data kind).
inline constexpr std::string_view kInvalidFrameText = "invalid or oversized protocol frame";
inline constexpr std::string_view kUnsupportedServerVersionText =
    "unsupported server protocol version";

// The document layer's kind; wire values "warren" and "den".
using NamespaceKind = ::tovik::NamespaceKind;

std::string_view namespace_kind_name(NamespaceKind kind);

// A top-level field compared with a JSON value.
struct Equality {
  std::string field;
  Json value;
};

// One struct per operation, in wire order (index 0 to 25).
struct Create {
  NamespaceKind kind = NamespaceKind::Warren;
  std::string name;
};
struct DropEmpty {
  NamespaceKind kind = NamespaceKind::Warren;
  std::string name;
};
struct Navigate {
  std::string name;
};
struct Warrens {};
struct Dens {};
struct Shinies {};
struct Auth {
  std::string username;
  std::string password;
};
struct Use {
  std::string collection;
};
struct Collections {};
struct Put {
  std::string id;
  Json document;
};
struct Insert {
  std::string id;
  Json document;
};
struct Update {
  std::string id;
  Json fields;
};
struct Page {
  std::uint64_t limit = 0;           // range checked by the executor, not here
  std::optional<std::string> after;  // absent or null: no cursor
  std::optional<Equality> filter;    // absent or null: no filter
};
struct Get {
  std::string id;
};
struct Delete {
  std::string id;
};
struct Find {
  std::string field;
  Json value;
};
struct Scan {};
struct Stats {};
struct Check {};
struct Quit {};
// Operating a running server.
struct Backup {
  std::string name;  // a file name in the server's backup directory
};
struct Usage {};
struct Server {};

// Several document writes on the current den, in one commit. Each element
// is {"op":"put"|"insert"|"update","id":..,"document":object} or
// {"op":"delete","id":..} (closed, or the array of its fields after the
// tag); the document of an update holds its fields.
struct Write {
  std::vector<DocumentWrite> ops;
};

struct Query {
  Json filter;                                     // any value; the executor compiles it
  std::optional<std::vector<std::string>> fields;  // absent or null: whole documents
  std::uint64_t limit = 0;                         // range checked by the executor
  std::optional<std::string> after;                // absent or null: from the start
  // Set by the decoder when the filter's text repeated a key: the message
  // the executor fails with (repeated_filter_key_message). Never sent.
  std::optional<std::string> filter_refusal = std::nullopt;
};
struct Count {
  Json filter;
  std::optional<std::string> filter_refusal = std::nullopt;  // as in Query
};

using Command = std::variant<Create, DropEmpty, Navigate, Warrens, Dens, Shinies, Auth, Use,
                             Collections, Put, Insert, Update, Page, Get, Delete, Find, Scan, Stats,
                             Check, Quit, Backup, Usage, Server, Write, Query, Count>;

inline constexpr std::size_t kCommandCount = std::variant_size_v<Command>;

// The "op" tag of a command, e.g. "drop_empty".
std::string_view op_name(const Command& command);
// The "op" tag of a write operation of that kind, e.g. "update".
std::string_view write_op_name(WriteKind kind);
// The "op" tag of the command at that variant index (< kCommandCount).
std::string_view op_name_of_index(std::size_t index);
inline bool is_auth(const Command& command) { return std::holds_alternative<Auth>(command); }
inline bool is_quit(const Command& command) { return std::holds_alternative<Quit>(command); }

struct Request {
  std::uint32_t version = kProtocolVersion;  // any u32 decodes; the server checks it is 1
  Command command;
  // Some integer in the message fits neither 64-bit kind and was read as the
  // nearest floating-point number: a write must refuse it, not store it.
  bool integer_out_of_range = false;
};

// The failure message of a write whose document holds such an integer.
inline constexpr std::string_view kNumberOutOfRange = "number out of range";

// The failure that stands in for a response whose encoding would exceed the
// frame limit: the client could not read it, so it is never sent.
inline constexpr std::string_view kResponseTooLarge = "response too large";

// put, insert, update and write: the commands that store a document.
bool stores_document(const Command& command);

struct Failure {
  std::string code;
  std::string message;

  friend bool operator==(const Failure&, const Failure&) = default;
};

// Data the server has already written in its wire form (compact, sorted
// keys): encode_response copies it in as it stands.
struct DataText {
  explicit DataText(std::string wire) : text(std::move(wire)) {}
  std::string text;
};

// The data of a success response as the server hands it over.
using ResponseData = std::variant<Json, DataText>;

// Invariant for responses this system builds: ok == !error, and data is
// null whenever ok is false. data_text, when set, is what the data is
// written as (data then stays null); decoding never sets it.
struct Response {
  std::uint32_t version = kProtocolVersion;
  bool ok = true;
  Json data;
  std::optional<DataText> data_text;
  std::optional<Failure> error;
};

// Why a request body was refused. The detail is for tests and debugging
// only: the peer is never told which rule was broken.
struct DecodeError {
  std::string detail;

  // What the server sends for any decoding error: "bad_frame".
  Response response() const;
};

// Server side.
[[nodiscard]] std::expected<Request, DecodeError> decode_request(std::string_view body);
// Compact, keys in the fixed order version, ok, data, error; a failure as
// code then message; data objects with sorted keys; non-ASCII unescaped.
std::string encode_response(const Response& response);
Response success(Json data);
Response success(DataText data);
Response failure(std::string_view code, std::string_view message);

// encode_response, except that a response whose text would exceed limit
// is replaced, in response too, by the failure kResponseTooLarge: what is
// sent and what is counted is that failure.
std::string encode_response_within(Response& response, std::uint64_t limit);

// Appends the decimal digits of value (the encoders' one way to write a
// number).
void append_unsigned(std::string& out, std::uint64_t value);

// The wire text of success data, as encode_response writes it.
std::string encode_data(const ResponseData& data);

// The byte budget of the documents in one find, scan or page response.
inline constexpr std::size_t kResponseDocumentBytes = 524'288;

// The data of each command's typed result. Documents are spliced in as
// their stored text, which already is their compact form.
//   find, scan:  {"byte_limited","documents","examination_limit","examined",
//                 "possibly_truncated","result_limit"}
//   page:        {"documents","examined","next_after": id or null}
//   warrens, dens, shinies:
//                {"examination_limit","kind","limit","names","truncated"}
//   collections: {"collections","truncated"}
//   navigate:    {"den": name or null, "warren": name or null}
//   use:         {"collection"}
//   stats:       {"generation","live_bytes","records"}
//   check:       {"valid": true}
//   quit:        {"bye": true}
//   write:       {"generation","written"}
//   query:       page's form (query_page returns a PageResult)
//   count:       {"complete","count","examined"}
// create, drop_empty, the writes and get send the document layer's own
// small results as they come.
DataText query_data(const QueryResult& result);
DataText page_data(const PageResult& page);
Json listing_data(ListingKind kind, const NameList& listing);
Json collections_data(const NameList& listing);
Json position_data(const SessionState& session);
Json collection_data(std::string_view collection);
Json stats_data(const StoreStats& stats);
Json valid_data();
Json bye_data();
Json written_data(std::uint64_t generation, std::uint64_t written);

// The operator's commands:
//   backup:  {"backup": name, "bytes", "generation"}
//   usage:   {"capacity_bytes","live_bytes","records","truncated",
//             "warrens":[{"bytes","dens":[{"bytes","documents","name"}],"name"}]}
//   server:  {"bytes_in","bytes_out","clients":{"connected","max"},
//             "commands":{"by_op":{op: n},"failed","total"},
//             "commits":{"count","max_ms","p50_ms","p99_ms"},"log_errors",
//             "max_document_bytes","max_request_bytes","started_at","uptime_s"}
Json backup_data(std::string_view name, std::uint64_t bytes, std::uint64_t generation);

// How many dens, and how many warrens, the usage report lists at most: far
// below what one response may carry even with long names.
inline constexpr std::size_t kUsageRows = 1'000;
// At most max_rows dens are listed, the largest by bytes (ties in name
// order), under their warrens; warrens with none of them listed follow while
// there is room for max_rows warrens. "truncated" tells whether any den or
// warren was left out. The totals and each warren's bytes always cover
// everything. Rows keep name order.
Json usage_data(const UsageReport& report, std::size_t max_rows = kUsageRows);

// What the server's status counters show at one moment.
struct ServerFigures {
  std::string started_at;  // RFC 3339, UTC, whole seconds
  std::uint64_t uptime_s = 0;
  std::uint64_t clients_connected = 0;
  std::uint64_t clients_max = 0;
  std::uint64_t commands_total = 0;
  std::uint64_t commands_failed = 0;
  std::array<std::uint64_t, kCommandCount> commands_by_op{};  // by variant index
  std::uint64_t commits = 0;
  double commit_p50_ms = 0;  // over the last commits kept (at most 1,024)
  double commit_p99_ms = 0;
  double commit_max_ms = 0;
  std::uint64_t bytes_in = 0;
  std::uint64_t bytes_out = 0;
  std::uint64_t log_errors = 0;
  // The server's limits, so a client can size its requests.
  std::uint64_t max_request_bytes = 0;
  std::uint64_t max_document_bytes = 0;
};
// Ops that never ran are left out of "by_op".
Json server_data(const ServerFigures& figures);

Json count_data(const CountResult& result);

// Client side.
enum class ResponseErrorKind : std::uint8_t {
  Malformed,           // not a valid Response: kInvalidFrameText
  UnsupportedVersion,  // decoded, but version != 1: kUnsupportedServerVersionText
};
struct ResponseError {
  ResponseErrorKind kind = ResponseErrorKind::Malformed;
  std::string detail;  // internal only

  // The text the client shows its user.
  std::string_view text() const;
};

// Compact, every object's keys in ascending byte order, absent optional
// fields written as null.
std::string encode_request(const Request& request);
// Wraps the command in a Request of version 1.
std::string encode_request(const Command& command);
// Decodes a response and applies the version rule: any version other than 1
// is refused whatever "ok" says. A missing "error" is null; "version", "ok"
// and "data" are required.
[[nodiscard]] std::expected<Response, ResponseError> decode_response(std::string_view body);

}  // namespace tovik::server
