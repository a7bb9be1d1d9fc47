// The client side of the tool: where a session connects to, how standard
// input becomes lines, and the session that the shell and batch mode share
// (address, user, connection, prompt position).
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

#include "cli/environment.h"
#include "cli/failure.h"
#include "core/posix_file.h"
#include "server/client.h"
#include "server/protocol.h"
#include "server/transport.h"

namespace tovik::cli {

// ---- Text ------------------------------------------------------------------

// Leading and trailing Unicode white space removed (ASCII blanks, U+0085,
// U+00A0, U+2000-U+200A, U+3000, ...). Meant for valid UTF-8: a
// stray byte is kept as it is.
std::string_view trim(std::string_view text);

// Splits at the first white space character: the part before it and the
// trimmed rest. Without white space the rest is empty and found is false.
struct WordSplit {
  std::string_view first;
  std::string_view rest;
  bool found = false;
};
WordSplit split_first_whitespace(std::string_view text);

// True when the text holds any white space character.
bool contains_whitespace(std::string_view text);

// ---- Addresses -------------------------------------------------------------

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

// ---- Input lines -----------------------------------------------------------

// Longest accepted input line, its line feed included.
inline constexpr std::size_t kMaxInputLine = 1'048'576;

// A line of input: the trimmed text, or nullopt at end of input.
using InputLine = std::expected<std::optional<std::string>, Failure>;

// Buffered line reader over a descriptor it does not own. Reads never go
// further than needed to find one more line, up to the 1 MiB limit.
class InputReader {
 public:
  explicit InputReader(int fd) : fd_(fd) {}
  InputReader(const InputReader&) = delete;
  InputReader& operator=(const InputReader&) = delete;

  // The next line: end of input, "input line exceeds 1 MiB", a read error,
  // or a failure for text that is not UTF-8. Otherwise the line, trimmed.
  [[nodiscard]] InputLine read_input_line();

 private:
  int fd_;
  std::string buffer_;
  std::size_t start_ = 0;  // first unconsumed byte of buffer_
  bool eof_ = false;
};

// The process's standard input. One shared reader, so bytes buffered for one
// caller are never lost to the next.
InputReader& standard_input();

// read_input_line on standard input.
[[nodiscard]] InputLine read_input_line();

// Where the shell's lines come from. The prompt is handed to the source so a
// line editor can draw it itself; the plain source prints it and flushes.
class LineSource {
 public:
  virtual ~LineSource() = default;
  [[nodiscard]] virtual InputLine next_line(std::string_view prompt) = 0;
};

// Prints the prompt on `out`, flushes, then reads from `reader`. A failed
// flush is the line's failure.
class PlainLineSource : public LineSource {
 public:
  PlainLineSource(InputReader& reader, std::ostream& out) : reader_(reader), out_(out) {}
  [[nodiscard]] InputLine next_line(std::string_view prompt) override;

 private:
  InputReader& reader_;
  std::ostream& out_;
};

// ---- Session ---------------------------------------------------------------

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
