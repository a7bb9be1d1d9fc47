// The response envelope a server sends for every request, its failure
// object and the fixed texts of the failure codes.
//
//   Response {"version":1,"ok":..,"data":..,"error":..}
//   Failure  {"code": "...", "message": "..."}
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "document/json.h"

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

// The failure message of a write whose document holds such an integer.
inline constexpr std::string_view kNumberOutOfRange = "number out of range";

// The failure that stands in for a response whose encoding would exceed the
// frame limit: the client could not read it, so it is never sent.
inline constexpr std::string_view kResponseTooLarge = "response too large";

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

// Server side.
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

// Decodes a response and applies the version rule: any version other than 1
// is refused whatever "ok" says. A missing "error" is null; "version", "ok"
// and "data" are required.
[[nodiscard]] std::expected<Response, ResponseError> decode_response(std::string_view body);

}  // namespace tovik::server
