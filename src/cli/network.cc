// Addresses, the start of a shell session, its loss and its reconnect.
#include "cli/network.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <cassert>
#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "cli/interrupt.h"
#include "cli/shell.h"

namespace tovik::cli {
namespace {

constexpr std::string_view kUriPrefix = "tovik://";
constexpr std::string_view kTunnelAdvice =
    "direct remote authentication is disabled; use ssh -N -L 7337:127.0.0.1:7337 "
    "<ssh-user>@<host>, then tovik tovik://<db-user>@127.0.0.1:7337";

// All addresses the resolver gives for host, in its order, with the port.
std::expected<std::vector<server::SocketAddress>, Failure> resolve(const std::string& host,
                                                                   std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    const std::string reason = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
    return std::unexpected(Failure::message("failed to lookup address information: " + reason));
  }
  std::vector<server::SocketAddress> addresses;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_addr == nullptr || a->ai_addrlen > sizeof(sockaddr_storage)) continue;
    sockaddr_storage storage{};
    std::memcpy(&storage, a->ai_addr, a->ai_addrlen);
    if (auto address = server::from_sockaddr(storage, a->ai_addrlen)) {
      address->port = port;
      addresses.push_back(*address);
    }
  }
  ::freeaddrinfo(found);
  return addresses;
}

bool closes_connection(std::string_view code) {
  return code == server::kCodeBadFrame || code == server::kCodeVersion ||
         code == server::kCodeAuthentication || code == server::kCodeServerBusy;
}

void lose_connection(ClientSession& session) {
  session.connection.reset();
  session.position.clear();
}

}  // namespace

std::expected<ClientTarget, Failure> parse_client_target(std::string_view text) {
  if (text.starts_with(kUriPrefix)) text.remove_prefix(kUriPrefix.size());

  ClientTarget target;
  std::string_view host_part = text;
  if (const auto at = text.find('@'); at != std::string_view::npos) {
    const std::string_view user = text.substr(0, at);
    if (user.empty() || user.find(':') != std::string_view::npos) {
      return std::unexpected(Failure::message("URI must contain username only, never a password"));
    }
    target.user = std::string(user);
    host_part = text.substr(at + 1);
  }

  std::vector<server::SocketAddress> candidates;
  if (auto numeric = server::parse_socket_address(host_part)) {
    candidates.push_back(*numeric);
  } else {
    const auto colon = host_part.rfind(':');
    if (colon == std::string_view::npos)
      return std::unexpected(Failure::message("invalid socket address"));
    auto port = parse_unsigned(host_part.substr(colon + 1), 65'535);
    if (!port) return std::unexpected(Failure::message("invalid port value"));
    auto resolved =
        resolve(std::string(host_part.substr(0, colon)), static_cast<std::uint16_t>(*port));
    if (!resolved) return std::unexpected(resolved.error());
    candidates = std::move(*resolved);
  }
  for (const server::SocketAddress& candidate : candidates) {
    if (server::is_loopback(candidate)) {
      target.address = candidate;
      return target;
    }
  }
  return std::unexpected(Failure::message(kTunnelAdvice));
}

std::string client_address_text(const std::optional<std::string>& argument) {
  if (argument) return *argument;
  if (auto from_env = env_text("TOVIK_ADDR")) return *from_env;
  return std::string(kDefaultAddress);
}

std::expected<ClientSession, Failure> open_session(const std::optional<std::string>& address,
                                                   SessionIo& io) {
  auto target = parse_client_target(client_address_text(address));
  if (!target) return std::unexpected(target.error());

  auto connection = server::connect_server(target->address, io.timings);
  if (!connection) return std::unexpected(Failure::message(connection.error().text));

  std::string user;
  if (target->user) {
    user = *target->user;
  } else if (auto from_env = env_text("TOVIK_USER")) {
    user = *from_env;
  } else {
    auto line = io.input.next_line("Username [admin]: ");
    if (!line) return std::unexpected(line.error());
    if (!*line) return std::unexpected(Failure::message("input closed"));
    user = (*line)->empty() ? "admin" : std::move(**line);
  }

  auto password = io.read_password("Password: ");
  if (!password) return std::unexpected(password.error());

  auto response = server::authenticate(connection->get(), user, *password, io.timings);
  if (!response) return std::unexpected(Failure::message(response.error().text));
  if (!response->ok) {
    return std::unexpected(Failure::message("authentication failed (or server unavailable)"));
  }

  io.out << "Connected to " << server::format_socket_address(target->address)
         << ". Type help for commands.\n";
  ClientSession session;
  session.address = target->address;
  session.user = std::move(user);
  session.password = std::move(*password);
  session.connection = std::move(*connection);
  return session;
}

void reconnect(ClientSession& session, SessionIo& io) {
  lose_connection(session);
  session.warren.reset();
  session.den.reset();
  auto connection = server::connect_server(session.address, io.timings);
  if (!connection) {
    io.err << "Reconnect failed: " << connection.error().text << '\n';
    return;
  }
  auto password = io.read_password("Password: ");
  if (!password) {
    io.err << "Reconnect failed: " << password.error().text() << '\n';
    return;
  }
  auto response = server::authenticate(connection->get(), session.user, *password, io.timings);
  if (!response) {
    io.err << "Reconnect failed: " << response.error().text << '\n';
    return;
  }
  if (!response->ok) {
    io.err << "Reconnect failed: authentication failed or server busy\n";
    return;
  }
  session.connection = std::move(*connection);
  session.password = std::move(*password);
  session.login_refused = false;
  io.out << "Reconnected to " << server::format_socket_address(session.address) << ".\n";
}

void set_place(ClientSession& session, const Json& data) {
  const auto text = [&](const char* key) -> std::optional<std::string> {
    if (!data.is_object()) return std::nullopt;
    const auto it = data.find(key);
    if (it == data.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
  };
  session.warren = text("warren");
  session.den = session.warren ? text("den") : std::nullopt;
}

bool peer_closed(const ClientSession& session) {
  if (!session.connected()) return false;
  pollfd pfd{session.connection.get(), POLLIN | POLLRDHUP, 0};
  if (::poll(&pfd, 1, 0) <= 0) return false;
  // No answer is awaited: anything readable is the end, or a stray frame
  // that leaves the connection out of step.
  return true;
}

bool resume_session(ClientSession& session, SessionIo& io) {
  lose_connection(session);
  auto connection = server::connect_server(session.address, io.timings);
  if (!connection) {
    io.err << "Reconnect failed: " << connection.error().text << '\n';
    return false;
  }
  auto response =
      server::authenticate(connection->get(), session.user, session.password, io.timings);
  if (!response) {
    io.err << "Reconnect failed: " << response.error().text << '\n';
    return false;
  }
  if (!response->ok) {
    session.login_refused = true;
    io.err << "Reconnect failed: authentication failed or server busy. Type reconnect to log in "
              "again.\n";
    return false;
  }
  session.connection = std::move(*connection);
  if (session.warren) {
    const std::string target =
        session.den ? *session.warren + "/" + *session.den : "/" + *session.warren;
    auto moved =
        server::send_command(session.connection.get(), server::Navigate{target}, io.timings);
    if (!moved) {
      lose_connection(session);
      io.err << "Reconnect failed: " << moved.error().text << '\n';
      return false;
    }
    if (moved->ok) {
      session.position = position_from(moved->data);
    } else {
      io.err << "Could not return to " << target << ": "
             << (moved->error ? moved->error->message : "request failed") << '\n';
    }
    set_place(session, moved->ok ? moved->data : Json());
  }
  io.err << "reconnected to " << server::format_socket_address(session.address) << '\n';
  return true;
}

bool is_write(const server::Command& command) {
  return std::holds_alternative<server::Create>(command) ||
         std::holds_alternative<server::DropEmpty>(command) ||
         std::holds_alternative<server::Put>(command) ||
         std::holds_alternative<server::Insert>(command) ||
         std::holds_alternative<server::Update>(command) ||
         std::holds_alternative<server::Delete>(command) ||
         std::holds_alternative<server::Write>(command) ||
         std::holds_alternative<server::Backup>(command);
}

std::optional<server::Response> round_trip(ClientSession& session, const server::Command& command,
                                           SessionIo& io) {
  assert(session.connected());
  auto response = server::send_command(session.connection.get(), command, io.timings);
  if (response) {
    // These failures are the server's last word before it closes: keeping
    // the socket would only turn the next command into a confusing loss.
    if (!response->ok && response->error && closes_connection(response->error->code)) {
      lose_connection(session);
    }
    return std::move(*response);
  }
  lose_connection(session);
  if (!io.interactive) {
    io.err << "Connection lost: " << response.error().text
           << ". The last operation may have completed. Type reconnect and check before "
              "retrying.\n";
  } else if (interrupted()) {
    io.err << (is_write(command) ? "Interrupted; the previous command's result is unknown.\n"
                                 : "Interrupted.\n");
  } else {
    io.err << "Connection lost: " << response.error().text
           << (is_write(command) ? "; the previous command's result is unknown.\n" : ".\n");
  }
  return std::nullopt;
}

}  // namespace tovik::cli
