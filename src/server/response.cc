// The response envelope: written in its fixed key order by the server, read
// strictly (closed objects, the version rule) by the client.
#include "server/response.h"

#include <array>
#include <charconv>
#include <limits>
#include <utility>

#include "server/wire_json.h"
#include "server/wire_reading.h"

namespace tovik::server {

namespace {

using wire::ClosedFields;
using wire::Decoded;

Decoded<Failure> read_failure(const ParsedMessage& message, const Json& value,
                              const wire::Path& path) {
  static constexpr std::array<ClosedFields::FieldRule, 2> kRules{
      {{"code", true}, {"message", true}}};
  auto read = wire::read_string_and_value(message, value, path, kRules);
  if (!read) return std::unexpected(read.error());
  auto text = wire::read_string(read->second, read->second_path);
  if (!text) return std::unexpected(text.error());
  return Failure{std::move(read->first), std::move(*text)};
}

Decoded<Response> read_response(const ParsedMessage& message) {
  static constexpr std::array<ClosedFields::FieldRule, 4> kRules{
      {{"version", true}, {"ok", true}, {"data", true}, {"error", false}}};
  auto envelope = wire::read_envelope(message, kRules);
  if (!envelope) return std::unexpected(envelope.error());
  const ClosedFields* fields = &envelope->fields;
  auto ok = wire::read_bool(*fields->at(1), fields->path(1));
  if (!ok) return std::unexpected(ok.error());
  Response response;
  response.version = envelope->version;
  response.ok = *ok;
  response.data = *fields->at(2);
  if (const Json* error = fields->at(3); error != nullptr && !error->is_null()) {
    auto failure_value = read_failure(message, *error, fields->path(3));
    if (!failure_value) return std::unexpected(failure_value.error());
    response.error = std::move(*failure_value);
  }
  return response;
}

}  // namespace

void append_unsigned(std::string& out, std::uint64_t value) {
  std::array<char, 24> digits{};
  auto [end, code] = std::to_chars(digits.data(), digits.data() + digits.size(), value);
  (void)code;  // 24 bytes always hold a 64-bit number
  out.append(digits.data(), end);
}

std::string encode_response(const Response& response) {
  // The envelope has a fixed key order that a sorted object cannot give,
  // so it is written by hand around compactly dumped parts.
  std::string out;
  out.reserve(128 + (response.data_text ? response.data_text->text.size() : 0));
  out += "{\"version\":";
  append_unsigned(out, response.version);
  out += response.ok ? ",\"ok\":true,\"data\":" : ",\"ok\":false,\"data\":";
  if (response.data_text) {
    out += response.data_text->text;
  } else {
    out += dump_compact(response.data);
  }
  out += ",\"error\":";
  if (response.error) {
    out += "{\"code\":";
    out += dump_compact(Json(response.error->code));
    out += ",\"message\":";
    out += dump_compact(Json(response.error->message));
    out += '}';
  } else {
    out += "null";
  }
  out += '}';
  return out;
}

Response success(Json data) {
  Response response;
  response.ok = true;
  response.data = std::move(data);
  return response;
}

Response success(DataText data) {
  Response response;
  response.ok = true;
  response.data_text = std::move(data);
  return response;
}

std::string encode_data(const ResponseData& data) {
  if (const Json* value = std::get_if<Json>(&data)) return dump_compact(*value);
  return std::get<DataText>(data).text;
}

std::string encode_response_within(Response& response, std::uint64_t limit) {
  std::string body = encode_response(response);
  if (body.size() <= limit) return body;
  response = failure(kCodeOperationFailed, kResponseTooLarge);
  return encode_response(response);
}

Response failure(std::string_view code, std::string_view message) {
  Response response;
  response.ok = false;
  response.data = nullptr;
  response.error = Failure{std::string(code), std::string(message)};
  return response;
}

std::string_view ResponseError::text() const {
  return kind == ResponseErrorKind::UnsupportedVersion ? kUnsupportedServerVersionText
                                                       : kInvalidFrameText;
}

std::expected<Response, ResponseError> decode_response(std::string_view body) {
  auto message = parse_message(body, kMaxJsonDepth + kResponseEnvelopeDepth);
  if (!message) {
    return std::unexpected(ResponseError{ResponseErrorKind::Malformed, message.error()});
  }
  auto response = read_response(*message);
  if (!response) {
    return std::unexpected(ResponseError{ResponseErrorKind::Malformed, response.error()});
  }
  if (response->version != kProtocolVersion) {
    return std::unexpected(
        ResponseError{ResponseErrorKind::UnsupportedVersion, "server speaks another version"});
  }
  return std::move(*response);
}

}  // namespace tovik::server
