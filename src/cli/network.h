// The client session that the shell and batch mode share: address, user,
// connection and prompt position, its start-up and its round trips.
//
// Threads: everything here runs on the tool's one thread. A ClientSession
// owns its socket; moving the session moves the connection.
#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "cli/address.h"
#include "cli/environment.h"
#include "cli/failure.h"
#include "cli/input.h"
#include "cli/text.h"
#include "core/posix_file.h"
#include "server/client.h"
#include "server/protocol.h"
#include "server/transport.h"

namespace tovik::cli {

using PasswordReader = std::function<std::expected<std::string, Failure>(std::string_view)>;

// Everything a session touches outside itself, injectable for tests.
struct SessionIo {
  LineSource& input;
  std::ostream& out;
  std::ostream& err;
  PasswordReader read_password;
  server::TransportTimings timings{};
};

// A shell's session. The password is never kept: each login reads it anew.
struct ClientSession {
  server::SocketAddress address;
  std::string user;
  UniqueFd connection;   // empty while disconnected
  std::string position;  // "", ":warren" or ":warren/den"

  bool connected() const { return static_cast<bool>(connection); }
};

// The start-up sequence: address, connect, user name (asked when neither the
// address nor TOVIK_USER gives one), password, authentication, then the
// "Connected to" line. Any failure here ends the shell.
[[nodiscard]] std::expected<ClientSession, Failure> open_session(
    const std::optional<std::string>& address, SessionIo& io);

// The shell's reconnect command: reports its own outcome on io, never fails.
void reconnect(ClientSession& session, SessionIo& io);

// One round trip. A transport failure drops the connection, clears the
// position and writes the "Connection lost" notice; the result is then
// nullopt. A failure after which the server closes the connection
// ("bad_frame", "version", ...) is returned, and the session is then
// disconnected too. Requires: session.connected().
[[nodiscard]] std::optional<server::Response> round_trip(ClientSession& session,
                                                         const server::Command& command,
                                                         SessionIo& io);

}  // namespace tovik::cli
