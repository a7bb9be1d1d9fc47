// The protocol client: connect to a loopback server, authenticate, and send
// one command at a time, waiting for its response.
//
// A connection carries no state of its own: the session's position lives on
// the server and the password is not kept. After any transport failure of
// send_command the socket has been shut down in both directions and must not
// be used again; a new connection starts at connect_server.
//
// Threads: one request in flight per socket; a socket is used by one thread
// at a time. The client reads without a stop flag: only the response
// deadline, the server or the socket ends a wait.
#pragma once

#include <expected>
#include <string_view>

#include "core/posix_file.h"
#include "server/protocol.h"
#include "server/transport.h"

namespace tovik::server {

// The loopback rule on the client side names the default port whatever port
// was asked for: it is advice for setting up the tunnel.
inline constexpr std::string_view kRemoteAuthDisabledText =
    "direct remote authentication is disabled; forward remote port 7337 with SSH and connect to "
    "localhost";
inline constexpr std::string_view kConnectTimedOutText = "connection timed out";
inline constexpr std::string_view kNoErrorAfterHangupText = "no error set after POLLHUP";

// Connects to a loopback address within timings.connect_timeout and sets the
// client socket options (receive timeout, send timeout, TCP_NODELAY).
// A non-loopback address fails (permission denied) before any socket exists.
// A failed connect is reported as "cannot connect to <address>; start an
// instance with tovik serve <database>: <reason>", keeping the reason's kind;
// a failed option is the operating system's error, unwrapped.
[[nodiscard]] std::expected<UniqueFd, TransportError> connect_server(
    const SocketAddress& address, const TransportTimings& timings = {});

// Sends one command and reads its response within timings.response_timeout
// counted from the end of the write. "ok" false is a Response, not an error.
// Any failure shuts the socket down before it is returned.
[[nodiscard]] std::expected<Response, TransportError> send_command(
    int socket, const Command& command, const TransportTimings& timings = {});

// send_command with the auth command. "ok" false carries the
// "authentication" failure, or "server_busy" when the server refused the
// connection before reading anything.
[[nodiscard]] std::expected<Response, TransportError> authenticate(
    int socket, std::string_view username, std::string_view password,
    const TransportTimings& timings = {});

}  // namespace tovik::server
