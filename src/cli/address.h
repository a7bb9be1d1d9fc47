// Where a client connects to: the address text from the command line, the
// environment or the default, resolved to a loopback socket address.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "cli/failure.h"
#include "server/transport.h"

namespace tovik::cli {

inline constexpr std::string_view kDefaultAddress = "127.0.0.1:7337";

// A loopback server address, with the user name the address text carried.
struct ClientTarget {
  server::SocketAddress address;
  std::optional<std::string> user;
};

// "tovik://user@host:port" or "host:port"; numeric addresses first, then the
// system resolver, keeping the first loopback address in resolver order.
// Refuses a non-loopback address before any connection is attempted.
[[nodiscard]] std::expected<ClientTarget, Failure> parse_client_target(std::string_view text);

// The command-line argument when given, else TOVIK_ADDR, else the default.
std::string client_address_text(const std::optional<std::string>& argument);

}  // namespace tovik::cli
