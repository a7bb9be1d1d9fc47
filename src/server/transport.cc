#include "server/transport.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstring>
#include <limits>
#include <string>

#include "core/file_system.h"
#include "server/protocol.h"

namespace tovik::server {

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::steady_clock;

std::unexpected<TransportError> fail(TransportErrorKind kind, std::string_view text) {
  return std::unexpected(TransportError::make(kind, text));
}

std::unexpected<TransportError> fail_errno(int error_number) {
  return std::unexpected(TransportError::from_errno(error_number));
}

TransportErrorKind kind_of_errno(int error_number) {
  switch (error_number) {
    case ENOENT:
      return TransportErrorKind::NotFound;
    case EACCES:
    case EPERM:
      return TransportErrorKind::PermissionDenied;
    case EINVAL:
      return TransportErrorKind::InvalidInput;
    case ETIMEDOUT:
      return TransportErrorKind::TimedOut;
    case ECONNABORTED:
      return TransportErrorKind::ConnectionAborted;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS:
      return TransportErrorKind::WouldBlock;
    default:
      return TransportErrorKind::Os;
  }
}

timeval to_timeval(microseconds duration) {
  // A zero timeout would mean "wait forever" to the kernel.
  if (duration < microseconds{1'000}) duration = microseconds{1'000};
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(duration.count() / 1'000'000);
  tv.tv_usec = static_cast<suseconds_t>(duration.count() % 1'000'000);
  return tv;
}

std::expected<void, TransportError> set_time_option(int socket, int option, microseconds duration) {
  const timeval tv = to_timeval(duration);
  if (::setsockopt(socket, SOL_SOCKET, option, &tv, sizeof tv) != 0) return fail_errno(errno);
  return {};
}

// One gather write of everything in `parts`, looping over partial sends.
std::expected<void, TransportError> send_all(int socket, iovec* parts, std::size_t count) {
  while (count > 0) {
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    const ssize_t sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return fail_errno(errno);
    }
    if (sent == 0) return fail(TransportErrorKind::WriteZero, kWriteZeroText);
    auto left = static_cast<std::size_t>(sent);
    while (count > 0 && left >= parts->iov_len) {
      left -= parts->iov_len;
      ++parts;
      --count;
    }
    if (count > 0) {
      parts->iov_base = static_cast<char*>(parts->iov_base) + left;
      parts->iov_len -= left;
    }
  }
  return {};
}

void send_bad_frame(int socket) {
  const auto ignored = write_response(socket, failure(kCodeBadFrame, kBadFrameMessage));
  (void)ignored;
}

bool parse_port(std::string_view text, std::uint16_t& port) {
  if (text.empty()) return false;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 65'535) return false;
  }
  port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Errors

TransportError TransportError::make(TransportErrorKind kind, std::string_view text) {
  return TransportError{kind, std::string(text), 0};
}

TransportError TransportError::from_errno(int error_number) {
  return TransportError{kind_of_errno(error_number), os_error_text(error_number), error_number};
}

// ---------------------------------------------------------------------------
// Reading

std::expected<FrameDeadline, TransportError> FrameDeadline::after(int socket,
                                                                  const std::atomic<bool>* stop,
                                                                  milliseconds timeout,
                                                                  milliseconds max_wait) {
  const auto now = steady_clock::now();
  if (timeout < milliseconds::zero()) timeout = milliseconds::zero();
  constexpr auto kMaxTicks = std::numeric_limits<nanoseconds::rep>::max();
  const auto now_ticks = std::chrono::duration_cast<nanoseconds>(now.time_since_epoch()).count();
  // Both the conversion to nanoseconds and the sum must fit the clock.
  if (timeout.count() > (kMaxTicks - now_ticks) / 1'000'000) {
    return fail(TransportErrorKind::Other, kDeadlineOverflowText);
  }
  FrameDeadline frame;
  frame.socket = socket;
  frame.stop = stop;
  frame.deadline = now + std::chrono::duration_cast<nanoseconds>(timeout);
  frame.max_wait = max_wait;
  return frame;
}

std::expected<void, TransportError> read_exact_by_deadline(const FrameDeadline& frame,
                                                           std::span<char> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    if (frame.stop != nullptr && frame.stop->load(std::memory_order_relaxed)) {
      return fail(TransportErrorKind::ConnectionAborted, kStoppingText);
    }
    const auto now = steady_clock::now();
    if (frame.deadline < now) return fail(TransportErrorKind::TimedOut, kDeadlineText);
    auto wait = std::chrono::ceil<microseconds>(frame.deadline - now);
    if (frame.stop != nullptr && wait > frame.max_wait) wait = frame.max_wait;
    if (wait <= kMinReceiveWait) wait = kMinReceiveWait;
    // Re-armed every time: the remaining time shrinks as the frame goes on.
    if (auto armed = set_receive_timeout(frame.socket, wait); !armed) {
      return std::unexpected(armed.error());
    }
    const ssize_t got = ::recv(frame.socket, buffer.data() + filled, buffer.size() - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
      continue;
    }
    if (got == 0) return fail(TransportErrorKind::UnexpectedEof, kUnexpectedEofText);
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT || error == EINTR) continue;
    return fail_errno(error);
  }
  return {};
}

std::expected<std::string, TransportError> read_frame_body(const FrameDeadline& frame,
                                                           std::uint64_t limit) {
  char prefix[kFramePrefixBytes];
  if (auto read = read_exact_by_deadline(frame, prefix); !read) {
    return std::unexpected(read.error());
  }
  const std::uint32_t length = (std::uint32_t{static_cast<unsigned char>(prefix[0])} << 24) |
                               (std::uint32_t{static_cast<unsigned char>(prefix[1])} << 16) |
                               (std::uint32_t{static_cast<unsigned char>(prefix[2])} << 8) |
                               std::uint32_t{static_cast<unsigned char>(prefix[3])};
  // Checked before any buffer exists, so a peer cannot make us allocate.
  if (length == 0 || length > limit) return fail(TransportErrorKind::InvalidData, kBadFrameText);
  std::string body(length, '\0');
  if (auto read = read_exact_by_deadline(frame, body); !read) {
    return std::unexpected(read.error());
  }
  return body;
}

std::expected<Request, TransportError> read_request_frame(int socket, std::uint64_t limit,
                                                          const std::atomic<bool>& stop,
                                                          milliseconds timeout,
                                                          milliseconds stop_poll_interval,
                                                          std::uint64_t* frame_bytes) {
  auto frame = FrameDeadline::after(socket, &stop, timeout, stop_poll_interval);
  // The one failure the peer is not told about: it is ours, not theirs.
  if (!frame) return std::unexpected(frame.error());
  auto body = read_frame_body(*frame, limit);
  if (!body) {
    send_bad_frame(socket);
    return std::unexpected(body.error());
  }
  if (frame_bytes != nullptr) *frame_bytes = kFramePrefixBytes + body->size();
  auto request = decode_request(*body);
  if (!request) {
    send_bad_frame(socket);
    return fail(TransportErrorKind::InvalidData, kBadFrameText);
  }
  return std::move(*request);
}

std::expected<Response, TransportError> read_response_frame(int socket, milliseconds timeout) {
  auto frame = FrameDeadline::after(socket, nullptr, timeout);
  if (!frame) return std::unexpected(frame.error());
  auto body = read_frame_body(*frame, kMaxFrameBytes);
  if (!body) return std::unexpected(body.error());
  auto response = decode_response(*body);
  if (!response) return fail(TransportErrorKind::InvalidData, response.error().text());
  return std::move(*response);
}

// ---------------------------------------------------------------------------
// Writing

std::expected<void, TransportError> write_frame(int socket, std::string_view body) {
  if (body.size() > kMaxFrameBytes) return fail(TransportErrorKind::InvalidData, kBadFrameText);
  const auto length = static_cast<std::uint32_t>(body.size());
  char prefix[kFramePrefixBytes] = {static_cast<char>(length >> 24),
                                    static_cast<char>(length >> 16), static_cast<char>(length >> 8),
                                    static_cast<char>(length)};
  // Prefix and body leave in one gather write where the socket allows, so a
  // small response is one segment rather than two.
  iovec parts[2] = {{prefix, sizeof prefix}, {const_cast<char*>(body.data()), body.size()}};
  return send_all(socket, parts, body.empty() ? 1 : 2);
}

std::expected<void, TransportError> write_response(int socket, const Response& response) {
  return write_frame(socket, encode_response(response));
}

// ---------------------------------------------------------------------------
// Socket set-up

std::expected<void, TransportError> set_nonblocking(int socket, bool nonblocking) {
  const int flags = ::fcntl(socket, F_GETFL);
  if (flags < 0) return fail_errno(errno);
  const int wanted = nonblocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (wanted != flags && ::fcntl(socket, F_SETFL, wanted) != 0) return fail_errno(errno);
  return {};
}

std::expected<void, TransportError> set_receive_timeout(int socket, microseconds timeout) {
  return set_time_option(socket, SO_RCVTIMEO, timeout);
}

std::expected<void, TransportError> set_send_timeout(int socket, microseconds timeout) {
  return set_time_option(socket, SO_SNDTIMEO, timeout);
}

std::expected<void, TransportError> set_nodelay(int socket) {
  const int on = 1;
  if (::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    return fail_errno(errno);
  }
  return {};
}

std::expected<void, TransportError> configure_accepted_socket(int socket,
                                                              const TransportTimings& timings) {
  if (auto done = set_nonblocking(socket, false); !done) return done;
  return set_send_timeout(socket, timings.send_timeout);
}

std::expected<void, TransportError> configure_client_socket(int socket,
                                                            const TransportTimings& timings) {
  if (auto done = set_receive_timeout(socket, timings.response_timeout); !done) return done;
  if (auto done = set_send_timeout(socket, timings.send_timeout); !done) return done;
  return set_nodelay(socket);
}

// ---------------------------------------------------------------------------
// Socket addresses

SocketAddress SocketAddress::v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d,
                                std::uint16_t port) {
  SocketAddress address;
  address.family = Family::V4;
  address.ip[0] = a;
  address.ip[1] = b;
  address.ip[2] = c;
  address.ip[3] = d;
  address.port = port;
  return address;
}

SocketAddress SocketAddress::v6_loopback(std::uint16_t port) {
  SocketAddress address;
  address.family = Family::V6;
  address.ip[15] = 1;
  address.port = port;
  return address;
}

std::expected<SocketAddress, TransportError> parse_socket_address(std::string_view text) {
  const auto bad = [] { return fail(TransportErrorKind::InvalidInput, kAddressSyntaxText); };
  SocketAddress address;
  std::string host;
  std::string_view port_text;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find("]:");
    if (close == std::string_view::npos) return bad();
    host.assign(text.substr(1, close - 1));
    port_text = text.substr(close + 2);
    address.family = SocketAddress::Family::V6;
    if (inet_pton(AF_INET6, host.c_str(), address.ip.data()) != 1) return bad();
  } else {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return bad();
    host.assign(text.substr(0, colon));
    port_text = text.substr(colon + 1);
    address.family = SocketAddress::Family::V4;
    // inet_pton takes only the four-part dotted decimal form.
    if (inet_pton(AF_INET, host.c_str(), address.ip.data()) != 1) return bad();
  }
  if (!parse_port(port_text, address.port)) return bad();
  return address;
}

std::string format_socket_address(const SocketAddress& address) {
  char host[INET6_ADDRSTRLEN] = {};
  std::string text;
  if (address.family == SocketAddress::Family::V4) {
    inet_ntop(AF_INET, address.ip.data(), host, sizeof host);
    text = host;
  } else {
    inet_ntop(AF_INET6, address.ip.data(), host, sizeof host);
    text = "[";
    text += host;
    text += ']';
  }
  text += ':';
  text += std::to_string(address.port);
  return text;
}

bool is_loopback(const SocketAddress& address) {
  if (address.family == SocketAddress::Family::V4) return address.ip[0] == 127;
  return address == SocketAddress::v6_loopback(address.port);
}

socklen_t to_sockaddr(const SocketAddress& address, sockaddr_storage& storage) {
  storage = sockaddr_storage{};
  if (address.family == SocketAddress::Family::V4) {
    auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
    v4.sin_family = AF_INET;
    v4.sin_port = htons(address.port);
    std::memcpy(&v4.sin_addr, address.ip.data(), 4);
    return sizeof(sockaddr_in);
  }
  auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
  v6.sin6_family = AF_INET6;
  v6.sin6_port = htons(address.port);
  std::memcpy(&v6.sin6_addr, address.ip.data(), 16);
  return sizeof(sockaddr_in6);
}

std::optional<SocketAddress> from_sockaddr(const sockaddr_storage& storage, socklen_t length) {
  SocketAddress address;
  if (storage.ss_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(storage);
    address.family = SocketAddress::Family::V4;
    std::memcpy(address.ip.data(), &v4.sin_addr, 4);
    address.port = ntohs(v4.sin_port);
    return address;
  }
  if (storage.ss_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(storage);
    address.family = SocketAddress::Family::V6;
    std::memcpy(address.ip.data(), &v6.sin6_addr, 16);
    address.port = ntohs(v6.sin6_port);
    return address;
  }
  return std::nullopt;
}

}  // namespace tovik::server
