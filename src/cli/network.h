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
#include "document/json.h"
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
  // A person at a terminal: a lost connection is reopened by itself on the
  // next command (resume_session), and a lost answer is told as such.
  bool interactive = false;
};

// A shell's session. The password it logged in with is kept in memory for
// the session only, to log in again by itself after a lost connection; the
// reconnect command still reads it anew.
struct ClientSession {
  server::SocketAddress address;
  std::string user;
  std::string password;
  UniqueFd connection;   // empty while disconnected
  std::string position;  // "", ":warren" or ":warren/den"
  // The warren and den as the server named them, to return to after a
  // connection is reopened; cleared by the reconnect command.
  std::optional<std::string> warren;
  std::optional<std::string> den;
  // The server refused the kept password: nothing is tried again until the
  // reconnect command.
  bool login_refused = false;

  bool connected() const { return static_cast<bool>(connection); }
};

// The place a navigate or drop_empty answer leaves the session at.
void set_place(ClientSession& session, const Json& data);

// True when the server has closed the session's connection (for idleness,
// or going away) while no request was outstanding.
bool peer_closed(const ClientSession& session);

// Reopens a lost connection without asking: connects, logs in with the
// kept password, returns to the warren and den it was at and writes
// "reconnected to <address>" on io.err. A failure is written there too
// ("Reconnect failed: ..."); a refused login sets login_refused. True when
// connected.
bool resume_session(ClientSession& session, SessionIo& io);

// True for commands that change stored data: one whose answer was lost is
// never sent again by itself.
bool is_write(const server::Command& command);

// The start-up sequence: address, connect, user name (asked when neither the
// address nor TOVIK_USER gives one), password, authentication, then the
// "Connected to" line. Any failure here ends the shell.
[[nodiscard]] std::expected<ClientSession, Failure> open_session(
    const std::optional<std::string>& address, SessionIo& io);

// The shell's reconnect command: reports its own outcome on io, never fails.
void reconnect(ClientSession& session, SessionIo& io);

// One round trip. A transport failure drops the connection, clears the
// position and writes the "Connection lost" notice (interactive: with "the
// previous command's result is unknown" for a write, or "Interrupted." when
// Ctrl+C ended the wait); the result is then nullopt. A failure after which the server closes the
// connection
// ("bad_frame", "version", ...) is returned, and the session is then
// disconnected too. Requires: session.connected().
[[nodiscard]] std::optional<server::Response> round_trip(ClientSession& session,
                                                         const server::Command& command,
                                                         SessionIo& io);

}  // namespace tovik::cli
