// Frames, deadlines and socket set-up for both ends of a client connection.
//
// Frame layout (identical in both directions, frames follow back to back):
//
//   offset  size    field
//   0       4       body length, unsigned 32-bit, big-endian
//   4       length  body: one JSON message, UTF-8
//
// Reading a frame runs against one deadline fixed when the frame began, so a
// peer that trickles bytes cannot extend it; on the server every single wait
// is also capped (250 ms by default) so the stop flag is seen promptly.
// Writing has no deadline beyond the socket's send timeout.
//
// Threads: each connection's reads and writes happen on one thread. The stop
// flag is only read here. Another thread may shut a socket down; a read or
// write in progress then fails.
#pragma once

#include <sys/socket.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/file_system.h"
#include "server/protocol.h"

namespace tovik::server {

// ---------------------------------------------------------------------------
// Errors

enum class TransportErrorKind {
  NotFound,
  PermissionDenied,
  InvalidInput,
  InvalidData,
  TimedOut,
  ConnectionAborted,
  WouldBlock,
  WriteZero,
  UnexpectedEof,
  Other,
  Os,  // an operating-system error with no better kind; os_error holds errno
};

// A transport failure: a kind for the code and a text shown to users as is.
// Errors that came from the operating system keep their errno in os_error
// (their kind is mapped from it, e.g. EAGAIN -> WouldBlock) and their text is
// "<strerror> (os error N)".
struct TransportError {
  TransportErrorKind kind = TransportErrorKind::Other;
  std::string text;
  int os_error = 0;

  static TransportError make(TransportErrorKind kind, std::string_view text);
  static TransportError from_errno(int error_number);
};

inline constexpr std::string_view kBadFrameText = kInvalidFrameText;
inline constexpr std::string_view kDeadlineText = "frame deadline exceeded";
inline constexpr std::string_view kStoppingText = "server stopping";
inline constexpr std::string_view kDeadlineOverflowText = "frame deadline overflow";
inline constexpr std::string_view kUnexpectedEofText = "unexpected end of stream";
inline constexpr std::string_view kAddressSyntaxText = "invalid socket address syntax";
inline constexpr std::string_view kUnsupportedVersionText = kUnsupportedServerVersionText;

// ---------------------------------------------------------------------------
// Limits and timings

// Largest body either side ever writes, and the client ever reads.
inline constexpr std::uint64_t kMaxFrameBytes = 1'048'576;
// Largest first (authentication) request the server reads: it is read before
// the peer is known, so it may cost little buffer.
inline constexpr std::uint64_t kMaxFirstRequestBytes = 8'192;
inline constexpr std::size_t kFramePrefixBytes = 4;

// The protocol's fixed durations. They are constants of the protocol; the
// struct exists so tests can run them short. Defaults are the real values.
struct TransportTimings {
  // Server: whole first frame of a connection.
  std::chrono::milliseconds first_request_timeout{30'000};
  // Server: each later frame, counted from when waiting starts (idle timeout).
  std::chrono::milliseconds request_timeout{300'000};
  // Server: longest single wait before the stop flag is looked at again.
  std::chrono::milliseconds stop_poll_interval{250};
  // Server: SO_SNDTIMEO of accepted sockets. Client: SO_SNDTIMEO.
  std::chrono::milliseconds send_timeout{10'000};
  // Client: whole response frame, counted from the end of the request write;
  // also SO_RCVTIMEO armed at connect.
  std::chrono::milliseconds response_timeout{300'000};
  // Client: connect.
  std::chrono::milliseconds connect_timeout{5'000};
  // Server: longest wait of the accept loop for a new connection before it
  // looks at the stop flag again.
  std::chrono::milliseconds accept_idle_interval{20};
};

// Shortest receive wait ever armed (a zero SO_RCVTIMEO would mean "forever").
inline constexpr std::chrono::milliseconds kMinReceiveWait{1};

// ---------------------------------------------------------------------------
// Reading

// The state of one frame read: the socket, the server's stop flag (null on
// the client), the absolute deadline on the monotonic clock and the cap on a
// single wait (server only).
struct FrameDeadline {
  int socket = -1;
  const std::atomic<bool>* stop = nullptr;
  std::chrono::steady_clock::time_point deadline{};
  std::chrono::milliseconds max_wait{250};

  // now + timeout; fails with "frame deadline overflow" (kind Other) when the
  // sum does not fit the clock.
  [[nodiscard]] static std::expected<FrameDeadline, TransportError> after(
      int socket, const std::atomic<bool>* stop, std::chrono::milliseconds timeout,
      std::chrono::milliseconds max_wait = std::chrono::milliseconds{250});
};

// Fills exactly buffer.size() bytes or fails: "server stopping" (connection
// aborted) when the stop flag is set, "frame deadline exceeded" (timed out),
// "unexpected end of stream" (unexpected end) or the socket's error.
// Re-arms SO_RCVTIMEO before every wait.
[[nodiscard]] std::expected<void, TransportError> read_exact_by_deadline(const FrameDeadline& frame,
                                                                         std::span<char> buffer);

// Reads one frame's prefix and body under `frame`; a length of 0 or above
// `limit` fails with "invalid or oversized protocol frame" before any body
// buffer exists. Sends nothing.
[[nodiscard]] std::expected<std::string, TransportError> read_frame_body(const FrameDeadline& frame,
                                                                         std::uint64_t limit);

// Server: reads and decodes one request of at most `limit` bytes within
// `timeout`. On every failure except "frame deadline overflow" the
// "bad_frame" failure has been written to the socket (write errors ignored)
// before this returns; the caller closes the connection. frame_bytes, when
// given, receives the size of a frame read whole (prefix and body).
[[nodiscard]] std::expected<Request, TransportError> read_request_frame(
    int socket, std::uint64_t limit, const std::atomic<bool>& stop,
    std::chrono::milliseconds timeout,
    std::chrono::milliseconds stop_poll_interval = std::chrono::milliseconds{250},
    std::uint64_t* frame_bytes = nullptr);

// Client: reads and decodes one response within `timeout` (counted from now,
// which should be right after the request was written), applying the version
// rule. Sends nothing back on failure.
[[nodiscard]] std::expected<Response, TransportError> read_response_frame(
    int socket, std::chrono::milliseconds timeout = std::chrono::milliseconds{300'000});

// ---------------------------------------------------------------------------
// Writing

// Writes prefix and body with full-write loops, without SIGPIPE. A body above
// kMaxFrameBytes fails with "invalid or oversized protocol frame" and nothing
// is written.
[[nodiscard]] std::expected<void, TransportError> write_frame(int socket, std::string_view body);

// Server: encodes the response and writes it as one frame.
[[nodiscard]] std::expected<void, TransportError> write_response(int socket,
                                                                 const Response& response);

// ---------------------------------------------------------------------------
// Socket set-up

// Switches O_NONBLOCK on or off.
[[nodiscard]] std::expected<void, TransportError> set_nonblocking(int socket, bool nonblocking);
// Sets SO_RCVTIMEO / SO_SNDTIMEO; a zero duration is raised to 1 ms (zero
// would mean "never time out").
[[nodiscard]] std::expected<void, TransportError> set_receive_timeout(
    int socket, std::chrono::microseconds timeout);
[[nodiscard]] std::expected<void, TransportError> set_send_timeout(
    int socket, std::chrono::microseconds timeout);
[[nodiscard]] std::expected<void, TransportError> set_nodelay(int socket);

// Server, accepted socket, on the accept loop's thread: blocking mode and the
// send timeout. TCP_NODELAY is set later on the connection's own thread.
[[nodiscard]] std::expected<void, TransportError> configure_accepted_socket(
    int socket, const TransportTimings& timings = {});
// Client, after connecting: SO_RCVTIMEO (response_timeout), SO_SNDTIMEO
// (send_timeout), TCP_NODELAY.
[[nodiscard]] std::expected<void, TransportError> configure_client_socket(
    int socket, const TransportTimings& timings = {});

// ---------------------------------------------------------------------------
// Socket addresses

// A numeric IPv4 or IPv6 address with a port.
struct SocketAddress {
  enum class Family : std::uint8_t { V4, V6 };
  Family family = Family::V4;
  // V4 uses the first 4 bytes; network byte order.
  std::array<std::uint8_t, 16> ip{};
  std::uint16_t port = 0;

  bool operator==(const SocketAddress&) const = default;

  static SocketAddress v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d,
                          std::uint16_t port);
  static SocketAddress v6_loopback(std::uint16_t port);
};

// "a.b.c.d:port" or "[v6]:port", numeric only (no host names, no scope);
// anything else fails with "invalid socket address syntax" (invalid input).
[[nodiscard]] std::expected<SocketAddress, TransportError> parse_socket_address(
    std::string_view text);
// "host:port", IPv6 in brackets ("[::1]:7337").
std::string format_socket_address(const SocketAddress& address);
// 127.0.0.0/8 or exactly ::1 (an IPv4-mapped address is not loopback here).
bool is_loopback(const SocketAddress& address);

// Conversions to and from the system's socket address structures.
socklen_t to_sockaddr(const SocketAddress& address, sockaddr_storage& storage);
std::optional<SocketAddress> from_sockaddr(const sockaddr_storage& storage, socklen_t length);

}  // namespace tovik::server
