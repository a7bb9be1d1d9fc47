// parse_client_target on any address text. The system resolver is replaced
// for this executable, so a host name never leaves the process: every lookup
// fails as an unknown name would. Accepted targets are loopback only and
// their address prints in a form the numeric parser reads back unchanged.
#include <netdb.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/network.h"
#include "fuzz_check.h"
#include "server/transport.h"

using tovik::fuzz::require;

extern "C" int getaddrinfo(const char*, const char*, const addrinfo*, addrinfo** result) {
  *result = nullptr;
  return EAI_NONAME;
}
extern "C" void freeaddrinfo(addrinfo*) {}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto text = tovik::fuzz::as_text(data, size);

  // The numeric parser on its own, then the whole address rule.
  if (auto numeric = tovik::server::parse_socket_address(text)) {
    auto again =
        tovik::server::parse_socket_address(tovik::server::format_socket_address(*numeric));
    require(again.has_value() && *again == *numeric, "a numeric address round-trips");
  }

  auto target = tovik::cli::parse_client_target(text);
  if (!target) {
    require(!target.error().text().empty(), "a refused address has a text");
    return 0;
  }
  require(tovik::server::is_loopback(target->address), "only loopback targets are accepted");
  if (target->user) {
    require(!target->user->empty() && target->user->find(':') == std::string::npos,
            "a user part never carries a password");
  }
  const std::string printed = tovik::server::format_socket_address(target->address);
  auto reparsed = tovik::server::parse_socket_address(printed);
  require(reparsed.has_value() && *reparsed == target->address, "the target prints readably");
  return 0;
}
