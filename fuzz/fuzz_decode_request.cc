// decode_request on any frame body a peer can send. Beyond "no crash, no
// leak": whatever the server accepts, the client's encoder writes back in a
// form the server accepts again, and that form is a fixed point.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "server/protocol.h"

using tovik::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto request = tovik::server::decode_request(tovik::fuzz::as_text(data, size));
  if (!request) {
    // The refusal the peer gets never depends on the input.
    const tovik::server::Response refusal = request.error().response();
    require(!refusal.ok && refusal.error && refusal.error->code == "bad_frame",
            "a decoding error answers bad_frame");
    return 0;
  }
  const std::string encoded = tovik::server::encode_request(*request);
  auto again = tovik::server::decode_request(encoded);
  require(again.has_value(), "an encoded request decodes");
  require(again->version == request->version, "version survives a round trip");
  require(again->command.index() == request->command.index(), "op survives a round trip");
  require(tovik::server::encode_request(*again) == encoded, "encoding is a fixed point");
  return 0;
}
