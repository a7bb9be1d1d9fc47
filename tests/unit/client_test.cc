// The protocol client against a fake server on a loopback listener: what a
// misbehaving server can send, and that a connection that failed once is
// never used again.
#include "server/client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "loopback_listener.h"

namespace tovik::server {
namespace {

using namespace std::chrono_literals;

// A listener on 127.0.0.1 with a port the system chose. serve() accepts one
// connection on a thread and hands it to the script.
class FakeServer {
 public:
  FakeServer() {
    auto listener = testing::loopback_listener();
    listener_ = std::move(listener.fd);
    port_ = listener.port;
  }
  ~FakeServer() { join(); }

  void join() {
    if (thread_.joinable()) thread_.join();
  }

  SocketAddress address() const { return SocketAddress::v4(127, 0, 0, 1, port_); }

  void serve(std::function<void(int)> script) {
    thread_ = std::thread([this, script = std::move(script)] {
      UniqueFd peer(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (peer) script(peer.get());
    });
  }

 private:
  UniqueFd listener_;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

void send_raw(int fd, std::string_view bytes) {
  ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
}

std::string prefix(std::uint32_t length) {
  const char bytes[4] = {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                         static_cast<char>(length >> 8), static_cast<char>(length)};
  return std::string(bytes, 4);
}

// Reads one request frame's body (the fake server trusts its client).
std::string read_request(int fd) {
  auto frame = FrameDeadline::after(fd, nullptr, 5s);
  if (!frame) return {};
  auto body = read_frame_body(*frame, kMaxFrameBytes);
  return body ? *body : std::string();
}

void answer(int fd, std::string_view body) {
  send_raw(fd, prefix(body.size()) + std::string(body));
}

// Waits until the client closes or shuts down its end.
void drain(int fd) {
  char byte;
  while (::recv(fd, &byte, 1, 0) > 0) {
  }
}

constexpr std::string_view kOk = R"({"version":1,"ok":true,"data":{"bye":true},"error":null})";

TransportTimings short_timings() {
  TransportTimings timings;
  timings.response_timeout = 2s;
  timings.connect_timeout = 2s;
  return timings;
}

TEST(ClientConnect, RefusesNonLoopbackWithoutTouchingTheNetwork) {
  SocketAddress mapped = SocketAddress::v6_loopback(7337);
  mapped.ip = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
  for (const SocketAddress& address : {SocketAddress::v4(192, 168, 1, 10, 7337), mapped}) {
    auto fd = connect_server(address);
    ASSERT_FALSE(fd.has_value());
    EXPECT_EQ(fd.error().kind, TransportErrorKind::PermissionDenied);
    EXPECT_EQ(fd.error().text, kRemoteAuthDisabledText);
  }
}

TEST(ClientConnect, NothingListeningNamesAddressAdviceAndReason) {
  std::uint16_t port;
  {
    FakeServer closed;  // a port that was free a moment ago
    port = closed.address().port;
  }
  auto fd = connect_server(SocketAddress::v4(127, 0, 0, 2, port), short_timings());
  ASSERT_FALSE(fd.has_value());
  EXPECT_EQ(fd.error().text, "cannot connect to 127.0.0.2:" + std::to_string(port) +
                                 "; start an instance with tovik serve <database>: " +
                                 TransportError::from_errno(ECONNREFUSED).text);
  EXPECT_EQ(fd.error().os_error, ECONNREFUSED);
}

TEST(ClientConnect, GivesUpAfterTheConnectTimeout) {
  // A listener whose accept queue is full drops further handshakes, so the
  // next connect stays pending.
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener.get(), 0), 0);
  socklen_t length = sizeof a;
  ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&a), &length);
  const SocketAddress address = SocketAddress::v4(127, 0, 0, 1, ntohs(a.sin_port));

  TransportTimings timings;
  timings.connect_timeout = 200ms;
  std::vector<UniqueFd> queued;
  std::expected<UniqueFd, TransportError> fd;
  for (int i = 0; i < 8; ++i) {
    fd = connect_server(address, timings);
    if (!fd) break;
    queued.push_back(std::move(*fd));
  }
  ASSERT_FALSE(fd.has_value()) << "the accept queue never filled";
  EXPECT_EQ(fd.error().kind, TransportErrorKind::TimedOut);
  EXPECT_EQ(fd.error().text, "cannot connect to " + format_socket_address(address) +
                                 "; start an instance with tovik serve <database>: "
                                 "connection timed out");
}

TEST(ClientExchange, SendsSortedRequestAndReturnsResponse) {
  FakeServer server;
  std::string request;
  server.serve([&](int fd) {
    request = read_request(fd);
    answer(fd, R"({"data":{"warren":"w","den":null},"ok":true,"version":1})");
  });
  auto fd = connect_server(server.address());
  ASSERT_TRUE(fd.has_value()) << fd.error().text;
  auto response = send_command(fd->get(), Navigate{"w"});
  ASSERT_TRUE(response.has_value()) << response.error().text;
  EXPECT_TRUE(response->ok);
  EXPECT_FALSE(response->error.has_value());  // a missing error is null
  EXPECT_EQ(response->data, Json::parse(R"({"den":null,"warren":"w"})"));
  EXPECT_EQ(request, R"({"command":{"name":"w","op":"navigate"},"version":1})");
}

TEST(ClientExchange, FailedCommandIsAResponseNotAnError) {
  FakeServer server;
  server.serve([](int fd) {
    read_request(fd);
    answer(fd, encode_response(failure("operation_failed", "select a warren first")));
  });
  auto fd = connect_server(server.address());
  ASSERT_TRUE(fd.has_value());
  auto response = send_command(fd->get(), Shinies{});
  ASSERT_TRUE(response.has_value());
  EXPECT_FALSE(response->ok);
  EXPECT_EQ(response->error, (Failure{"operation_failed", "select a warren first"}));
}

TEST(ClientExchange, BusyServerAnswersAuthWithItsRefusal) {
  FakeServer server;
  server.serve([](int fd) {
    answer(fd, encode_response(failure("server_busy", "connection limit reached")));
    read_request(fd);
  });
  auto fd = connect_server(server.address());
  ASSERT_TRUE(fd.has_value());
  auto response = authenticate(fd->get(), "admin", "secret password");
  ASSERT_TRUE(response.has_value()) << response.error().text;
  EXPECT_FALSE(response->ok);
  ASSERT_TRUE(response->error.has_value());
  EXPECT_EQ(response->error->code, "server_busy");
}

// One misbehaving answer; the client must fail with `text` and leave the
// socket shut down, so a second command fails at once.
void expect_refused(std::function<void(int)> misbehave, std::string_view text,
                    TransportTimings timings = short_timings()) {
  FakeServer server;
  server.serve([&](int fd) {
    read_request(fd);
    misbehave(fd);
    drain(fd);
  });
  auto fd = connect_server(server.address(), timings);
  ASSERT_TRUE(fd.has_value());
  const auto started = std::chrono::steady_clock::now();
  auto response = send_command(fd->get(), Stats{}, timings);
  ASSERT_FALSE(response.has_value());
  EXPECT_EQ(response.error().text, text);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1500ms);
  auto again = send_command(fd->get(), Stats{}, timings);
  EXPECT_FALSE(again.has_value()) << "a dead connection was used again";
}

TEST(ClientMisbehavingServer, GarbageBody) {
  expect_refused([](int fd) { answer(fd, "hello"); }, kBadFrameText);
  expect_refused([](int fd) { answer(fd, R"({"version":1,"ok":true})"); }, kBadFrameText);
  expect_refused([](int fd) { answer(fd, R"([1,true,null,null,5])"); }, kBadFrameText);
}

TEST(ClientMisbehavingServer, VersionTwoIsRefusedEvenWhenOk) {
  expect_refused([](int fd) { answer(fd, R"({"version":2,"ok":true,"data":null,"error":null})"); },
                 kUnsupportedVersionText);
}

TEST(ClientMisbehavingServer, LengthZeroOrOversizedIsRefusedBeforeTheBody) {
  expect_refused([](int fd) { send_raw(fd, prefix(0)); }, kBadFrameText);
  // Only the prefix is sent: waiting for the body would hit the deadline.
  expect_refused([](int fd) { send_raw(fd, prefix(1'048'577)); }, kBadFrameText);
  expect_refused([](int fd) { send_raw(fd, prefix(0xFFFFFFFF)); }, kBadFrameText);
}

TEST(ClientMisbehavingServer, SilenceEndsAtTheResponseDeadline) {
  TransportTimings timings = short_timings();
  timings.response_timeout = 150ms;
  expect_refused([](int) {}, kDeadlineText, timings);
  // A trickle does not extend the deadline fixed when the wait began.
  expect_refused(
      [](int fd) {
        send_raw(fd, prefix(40));
        for (int i = 0; i < 6; ++i) {
          std::this_thread::sleep_for(40ms);
          if (::send(fd, "x", 1, MSG_NOSIGNAL) != 1) return;
        }
      },
      kDeadlineText, timings);
}

TEST(ClientMisbehavingServer, CloseMidResponse) {
  expect_refused(
      [](int fd) {
        send_raw(fd, prefix(100) + "{\"version\":1");
        ::shutdown(fd, SHUT_WR);
      },
      kUnexpectedEofText);
  expect_refused([](int fd) { ::shutdown(fd, SHUT_WR); }, kUnexpectedEofText);
}

TEST(ClientExchange, AfterQuitTheNextCommandFails) {
  FakeServer server;
  server.serve([](int fd) {
    read_request(fd);
    answer(fd, kOk);
  });
  auto fd = connect_server(server.address());
  ASSERT_TRUE(fd.has_value());
  auto bye = send_command(fd->get(), Quit{});
  ASSERT_TRUE(bye.has_value());
  EXPECT_TRUE(bye->ok);
  auto after = send_command(fd->get(), Stats{});
  ASSERT_FALSE(after.has_value());
  // The socket was shut down: even a write now fails.
  EXPECT_LT(::send(fd->get(), "x", 1, MSG_NOSIGNAL), 0);
}

TEST(ClientExchange, OversizedRequestIsNeverSent) {
  FakeServer server;
  std::string received;
  server.serve([&](int fd) {
    char buffer[4096];
    ssize_t got;
    while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) received.append(buffer, got);
  });
  auto fd = connect_server(server.address());
  ASSERT_TRUE(fd.has_value());
  auto response = send_command(fd->get(), Put{"a", Json(std::string(1'048'576, 'x'))});
  ASSERT_FALSE(response.has_value());
  EXPECT_EQ(response.error().text, kBadFrameText);
  fd->reset();
  server.join();
  EXPECT_EQ(received, "");
}

}  // namespace
}  // namespace tovik::server
