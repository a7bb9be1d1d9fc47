#include "server/client.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <string>

namespace tovik::server {
namespace {

using Clock = std::chrono::steady_clock;

// Waits for a non-blocking connect to finish within `timeout`.
std::expected<void, TransportError> wait_connected(int fd, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto now = Clock::now();
    if (now >= deadline) {
      return std::unexpected(
          TransportError::make(TransportErrorKind::TimedOut, kConnectTimedOutText));
    }
    // Rounded up, so a sub-millisecond remainder still waits instead of spinning.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    if (left < 1) left = 1;
    if (left > 1'000'000) left = 1'000'000;
    pollfd p{fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(TransportError::from_errno(errno));
    }
    if (ready == 0) continue;
    if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      int pending = 0;
      socklen_t length = sizeof pending;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) {
        return std::unexpected(TransportError::from_errno(errno));
      }
      if (pending != 0) return std::unexpected(TransportError::from_errno(pending));
      return std::unexpected(
          TransportError::make(TransportErrorKind::Other, kNoErrorAfterHangupText));
    }
    if ((p.revents & POLLOUT) != 0) return {};
  }
}

std::expected<UniqueFd, TransportError> open_connection(const SocketAddress& address,
                                                        std::chrono::milliseconds timeout) {
  const int family = address.family == SocketAddress::Family::V4 ? AF_INET : AF_INET6;
  UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return std::unexpected(TransportError::from_errno(errno));
  if (auto r = set_nonblocking(fd.get(), true); !r) return std::unexpected(r.error());

  sockaddr_storage storage{};
  const socklen_t length = to_sockaddr(address, storage);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
    // An interrupted non-blocking connect carries on in the background, like
    // one in progress.
    if (errno != EINPROGRESS && errno != EINTR) {
      return std::unexpected(TransportError::from_errno(errno));
    }
    if (auto r = wait_connected(fd.get(), timeout); !r) return std::unexpected(r.error());
  }
  if (auto r = set_nonblocking(fd.get(), false); !r) return std::unexpected(r.error());
  return fd;
}

void kill_connection(int socket) { ::shutdown(socket, SHUT_RDWR); }

}  // namespace

std::expected<UniqueFd, TransportError> connect_server(const SocketAddress& address,
                                                       const TransportTimings& timings) {
  if (!is_loopback(address)) {
    return std::unexpected(
        TransportError::make(TransportErrorKind::PermissionDenied, kRemoteAuthDisabledText));
  }
  auto fd = open_connection(address, timings.connect_timeout);
  if (!fd) {
    TransportError error = fd.error();
    error.text = "cannot connect to " + format_socket_address(address) +
                 "; start an instance with tovik serve <database>: " + error.text;
    return std::unexpected(std::move(error));
  }
  if (auto r = configure_client_socket(fd->get(), timings); !r) return std::unexpected(r.error());
  return std::move(*fd);
}

std::expected<Response, TransportError> send_command(int socket, const Command& command,
                                                     const TransportTimings& timings) {
  const std::string body = encode_request(command);
  if (auto written = write_frame(socket, body); !written) {
    kill_connection(socket);
    return std::unexpected(written.error());
  }
  auto response = read_response_frame(socket, timings.response_timeout);
  if (!response) {
    kill_connection(socket);
    return std::unexpected(response.error());
  }
  return std::move(*response);
}

std::expected<Response, TransportError> authenticate(int socket, std::string_view username,
                                                     std::string_view password,
                                                     const TransportTimings& timings) {
  return send_command(socket, Auth{std::string(username), std::string(password)}, timings);
}

}  // namespace tovik::server
