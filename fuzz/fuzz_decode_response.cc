// decode_response on any frame body a server (or an impostor on the port)
// can send the client. Accepted responses are version 1 and re-encode to a
// body the client accepts again, unchanged.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "server/protocol.h"

using tovik::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto response = tovik::server::decode_response(tovik::fuzz::as_text(data, size));
  if (!response) {
    require(!response.error().text().empty(), "a refused response has a text for the user");
    return 0;
  }
  require(response->version == tovik::server::kProtocolVersion, "only version 1 is accepted");
  const std::string encoded = tovik::server::encode_response(*response);
  auto again = tovik::server::decode_response(encoded);
  require(again.has_value(), "an encoded response decodes");
  require(again->ok == response->ok, "ok survives a round trip");
  require(again->error == response->error, "the failure survives a round trip");
  require(tovik::server::encode_response(*again) == encoded, "encoding is a fixed point");
  return 0;
}
