// The request envelope a client sends, {"command": Command, "version": 1},
// and its codec, driven by the commands' own descriptions (commands.h).
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "server/commands.h"
#include "server/response.h"

namespace tovik::server {

struct Request {
  std::uint32_t version = kProtocolVersion;  // any u32 decodes; the server checks it is 1
  Command command;
  // Some integer in the message fits neither 64-bit kind and was read as the
  // nearest floating-point number: a write must refuse it, not store it.
  bool integer_out_of_range = false;
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

// Client side. Compact, every object's keys in ascending byte order, absent
// optional fields written as null.
std::string encode_request(const Request& request);
// Wraps the command in a Request of version 1.
std::string encode_request(const Command& command);

}  // namespace tovik::server
