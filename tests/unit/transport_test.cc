// Frames over a socketpair with short injected deadlines, and socket
// addresses.
#include "server/transport.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "server/protocol.h"

namespace tovik::server {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

std::string prefix_of(std::uint32_t length) {
  return {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
          static_cast<char>(length >> 8), static_cast<char>(length)};
}

// A valid auth request whose body is exactly `size` bytes (padded password).
std::string auth_request_of_size(std::size_t size) {
  const std::string head = R"({"command":{"op":"auth","password":")";
  const std::string tail = R"(","username":"admin"},"version":1})";
  return head + std::string(size - head.size() - tail.size(), 'p') + tail;
}

// One end is "ours" (the side under test), the other the peer.
class FramePair : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ours_ = UniqueFd(fds[0]);
    peer_ = UniqueFd(fds[1]);
  }

  void peer_send(std::string_view bytes) {
    ASSERT_EQ(::send(peer_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  void peer_send_frame(std::string_view body) {
    peer_send(prefix_of(static_cast<std::uint32_t>(body.size())) + std::string(body));
  }

  // What the peer has received by now, without waiting.
  std::string peer_pending() { return pending_on(peer_.get()); }
  std::string ours_pending() { return pending_on(ours_.get()); }

  // The response the peer received, read like a client does.
  Response peer_response() {
    auto response = read_response_frame(peer_.get(), milliseconds{2'000});
    EXPECT_TRUE(response.has_value()) << response.error().text;
    return response ? *response : Response{};
  }

  void expect_peer_got_bad_frame() {
    const Response response = peer_response();
    EXPECT_FALSE(response.ok);
    ASSERT_TRUE(response.error.has_value());
    EXPECT_EQ(response.error->code, kCodeBadFrame);
    EXPECT_EQ(response.error->message, kBadFrameMessage);
  }

  static std::string pending_on(int fd) {
    std::string out;
    char buffer[65'536];
    while (true) {
      const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got <= 0) break;
      out.append(buffer, static_cast<std::size_t>(got));
    }
    return out;
  }

  std::atomic<bool> stop_{false};
  UniqueFd ours_;
  UniqueFd peer_;
};

TEST_F(FramePair, FirstRequestLimitIsInclusiveAndRefusesWithoutReadingTheBody) {
  peer_send_frame(auth_request_of_size(kMaxFirstRequestBytes));
  auto request = read_request_frame(ours_.get(), kMaxFirstRequestBytes, stop_, milliseconds{1'000});
  ASSERT_TRUE(request.has_value()) << request.error().text;
  EXPECT_TRUE(is_auth(request->command));

  // One byte more: refused on the prefix alone; what follows stays unread.
  peer_send(prefix_of(kMaxFirstRequestBytes + 1) + "UNREAD");
  auto refused = read_request_frame(ours_.get(), kMaxFirstRequestBytes, stop_, milliseconds{1'000});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind, TransportErrorKind::InvalidData);
  EXPECT_EQ(refused.error().text, kBadFrameText);
  EXPECT_EQ(ours_pending(), "UNREAD");
  expect_peer_got_bad_frame();
}

TEST_F(FramePair, ConfiguredLimitAndZeroLengthOnLaterFrames) {
  constexpr std::uint64_t kLimit = 200;
  peer_send_frame(auth_request_of_size(kLimit));
  EXPECT_TRUE(read_request_frame(ours_.get(), kLimit, stop_, milliseconds{1'000}).has_value());

  peer_send_frame(auth_request_of_size(kLimit + 1));
  auto over = read_request_frame(ours_.get(), kLimit, stop_, milliseconds{1'000});
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(over.error().text, kBadFrameText);
  expect_peer_got_bad_frame();
  (void)ours_pending();

  peer_send(prefix_of(0));
  auto empty = read_request_frame(ours_.get(), kLimit, stop_, milliseconds{1'000});
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().kind, TransportErrorKind::InvalidData);
  expect_peer_got_bad_frame();
}

TEST_F(FramePair, UndecodableBodiesAreBadFrames) {
  for (std::string body : {"not json", R"({"command":{"op":"get","id":"a","x":1},"version":1})",
                           R"({"command":{"op":"warrens"},"version":1,"extra":0})"}) {
    peer_send_frame(body);
    auto request = read_request_frame(ours_.get(), 1'000, stop_, milliseconds{1'000});
    ASSERT_FALSE(request.has_value()) << body;
    EXPECT_EQ(request.error().text, kBadFrameText);
    expect_peer_got_bad_frame();
  }
}

TEST_F(FramePair, TricklingPeerIsCutAtTheDeadlineFixedWhenTheFrameBegan) {
  std::atomic<bool> done{false};
  std::thread trickler([&] {
    const std::string frame = prefix_of(100) + std::string(100, 'x');
    for (char byte : frame) {
      if (done) return;
      ::send(peer_.get(), &byte, 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(milliseconds{20});
    }
  });
  const auto started = steady_clock::now();
  auto request = read_request_frame(ours_.get(), 1'000, stop_, milliseconds{300});
  const auto elapsed = steady_clock::now() - started;
  done = true;
  trickler.join();
  ASSERT_FALSE(request.has_value());
  EXPECT_EQ(request.error().kind, TransportErrorKind::TimedOut);
  EXPECT_EQ(request.error().text, kDeadlineText);
  // Every byte arrived well within one wait, yet the frame still ended.
  EXPECT_GE(elapsed, milliseconds{300});
  EXPECT_LT(elapsed, milliseconds{1'500});
}

TEST_F(FramePair, StopFlagIsSeenWithinOnePollInterval) {
  std::thread stopper([&] {
    std::this_thread::sleep_for(milliseconds{50});
    stop_ = true;
  });
  const auto started = steady_clock::now();
  auto request = read_request_frame(ours_.get(), 1'000, stop_, milliseconds{30'000});
  const auto elapsed = steady_clock::now() - started;
  stopper.join();
  ASSERT_FALSE(request.has_value());
  EXPECT_EQ(request.error().kind, TransportErrorKind::ConnectionAborted);
  EXPECT_EQ(request.error().text, kStoppingText);
  EXPECT_LT(elapsed, milliseconds{1'000});
  expect_peer_got_bad_frame();
}

TEST_F(FramePair, ShortPollIntervalIsInjectable) {
  std::thread stopper([&] {
    std::this_thread::sleep_for(milliseconds{30});
    stop_ = true;
  });
  const auto started = steady_clock::now();
  auto request =
      read_request_frame(ours_.get(), 1'000, stop_, milliseconds{30'000}, milliseconds{5});
  const auto elapsed = steady_clock::now() - started;
  stopper.join();
  ASSERT_FALSE(request.has_value());
  EXPECT_LT(elapsed, milliseconds{200});
}

TEST_F(FramePair, PeerClosingBetweenFramesEndsTheReadWithoutSignal) {
  peer_.reset();
  auto request = read_request_frame(ours_.get(), 1'000, stop_, milliseconds{1'000});
  ASSERT_FALSE(request.has_value());
  EXPECT_EQ(request.error().kind, TransportErrorKind::UnexpectedEof);
  // The bad_frame write met a closed peer: an error, not SIGPIPE.
  auto again = write_frame(ours_.get(), "x");
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().os_error, EPIPE);
}

TEST_F(FramePair, DeadlineOverflowIsOursAndNothingIsSent) {
  auto request = read_request_frame(ours_.get(), 1'000, stop_, milliseconds::max());
  ASSERT_FALSE(request.has_value());
  EXPECT_EQ(request.error().text, kDeadlineOverflowText);
  EXPECT_EQ(peer_pending(), "");
}

TEST_F(FramePair, OversizedResponseIsNeverWritten) {
  Response response = success(Json(std::string(kMaxFrameBytes, 'a')));
  auto written = write_response(ours_.get(), response);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind, TransportErrorKind::InvalidData);
  EXPECT_EQ(written.error().text, kBadFrameText);
  EXPECT_EQ(peer_pending(), "");

  auto raw = write_frame(ours_.get(), std::string(kMaxFrameBytes + 1, 'a'));
  ASSERT_FALSE(raw.has_value());
  EXPECT_EQ(peer_pending(), "");
}

TEST_F(FramePair, LargestFrameIsWrittenWholeAcrossPartialSends) {
  const std::string body(kMaxFrameBytes, 'b');
  std::string received;
  std::thread reader([&] {
    auto frame = FrameDeadline::after(peer_.get(), nullptr, milliseconds{5'000});
    ASSERT_TRUE(frame.has_value());
    auto got = read_frame_body(*frame, kMaxFrameBytes);
    ASSERT_TRUE(got.has_value()) << got.error().text;
    received = std::move(*got);
  });
  auto written = write_frame(ours_.get(), body);
  reader.join();
  ASSERT_TRUE(written.has_value()) << written.error().text;
  EXPECT_EQ(received, body);
}

TEST_F(FramePair, ResponseFramesAreCheckedOnTheClientSide) {
  peer_send(prefix_of(kMaxFrameBytes + 1) + "UNREAD");
  auto oversized = read_response_frame(ours_.get(), milliseconds{1'000});
  ASSERT_FALSE(oversized.has_value());
  EXPECT_EQ(oversized.error().text, kBadFrameText);
  EXPECT_EQ(ours_pending(), "UNREAD");

  peer_send_frame(R"({"version":2,"ok":true,"data":null,"error":null})");
  auto future = read_response_frame(ours_.get(), milliseconds{1'000});
  ASSERT_FALSE(future.has_value());
  EXPECT_EQ(future.error().kind, TransportErrorKind::InvalidData);
  EXPECT_EQ(future.error().text, kUnsupportedVersionText);

  peer_send_frame(R"({"version":1,"ok":true})");
  auto no_data = read_response_frame(ours_.get(), milliseconds{1'000});
  ASSERT_FALSE(no_data.has_value());
  EXPECT_EQ(no_data.error().text, kBadFrameText);

  // A silent server: the client deadline, with no stop flag, still holds.
  auto silent = read_response_frame(ours_.get(), milliseconds{50});
  ASSERT_FALSE(silent.has_value());
  EXPECT_EQ(silent.error().kind, TransportErrorKind::TimedOut);
}

TEST_F(FramePair, ResponsesRoundTripInTheFixedKeyOrder) {
  ASSERT_TRUE(write_response(ours_.get(), failure(kCodeServerBusy, kServerBusyMessage)));
  const std::string wire = peer_pending();
  EXPECT_EQ(wire.substr(4),
            R"({"version":1,"ok":false,"data":null,)"
            R"("error":{"code":"server_busy","message":"connection limit reached"}})");
  EXPECT_EQ(wire.substr(0, 4), prefix_of(static_cast<std::uint32_t>(wire.size() - 4)));
}

TEST(TransportErrors, OperatingSystemErrorsKeepTheirCodeAndKind) {
  const TransportError again = TransportError::from_errno(EAGAIN);
  EXPECT_EQ(again.kind, TransportErrorKind::WouldBlock);
  EXPECT_EQ(again.os_error, EAGAIN);
  EXPECT_EQ(again.text, "Resource temporarily unavailable (os error 11)");
  EXPECT_EQ(TransportError::from_errno(ECONNREFUSED).kind, TransportErrorKind::Os);
  EXPECT_EQ(TransportError::from_errno(ENOENT).kind, TransportErrorKind::NotFound);
}

TEST(SocketAddresses, NumericFormsParseAndFormatBack) {
  for (const char* text : {"127.0.0.1:7337", "127.0.0.2:9000", "0.0.0.0:0", "[::1]:7337",
                           "[::ffff:127.0.0.1]:1", "10.1.2.3:65535"}) {
    auto address = parse_socket_address(text);
    ASSERT_TRUE(address.has_value()) << text;
    EXPECT_EQ(format_socket_address(*address), text);
  }
  auto v6 = parse_socket_address("[0:0:0:0:0:0:0:1]:80");
  ASSERT_TRUE(v6.has_value());
  EXPECT_EQ(format_socket_address(*v6), "[::1]:80");
}

TEST(SocketAddresses, AnythingButNumericAddressesIsRefused) {
  for (const char* text :
       {"localhost:7337", "127.0.0.1", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:+1", "127.1:80",
        "127.0.0.01:80", "::1:7337", "[::1]", "[::1]7337", "[fe80::1%1]:80", " 127.0.0.1:80",
        "127.0.0.1:80 ", "", ":80", "[]:80", "127.0.0.1:-1"}) {
    auto address = parse_socket_address(text);
    ASSERT_FALSE(address.has_value()) << text;
    EXPECT_EQ(address.error().kind, TransportErrorKind::InvalidInput);
    EXPECT_EQ(address.error().text, kAddressSyntaxText);
  }
}

TEST(SocketAddresses, LoopbackIsTheWhole127NetworkAndExactlyV6One) {
  const auto loopback = [](const char* text) { return is_loopback(*parse_socket_address(text)); };
  EXPECT_TRUE(loopback("127.0.0.1:1"));
  EXPECT_TRUE(loopback("127.255.255.254:1"));
  EXPECT_TRUE(loopback("[::1]:1"));
  EXPECT_FALSE(loopback("128.0.0.1:1"));
  EXPECT_FALSE(loopback("0.0.0.0:1"));
  EXPECT_FALSE(loopback("[::]:1"));
  EXPECT_FALSE(loopback("[::ffff:127.0.0.1]:1"));
  EXPECT_FALSE(loopback("[::2]:1"));
}

TEST(SocketSetUp, AcceptedAndClientSocketsGetTheirOptions) {
  const int raw = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  ASSERT_GE(raw, 0);
  UniqueFd socket(raw);
  TransportTimings timings;
  timings.send_timeout = milliseconds{1'500};
  ASSERT_TRUE(configure_accepted_socket(socket.get(), timings).has_value());
  EXPECT_EQ(::fcntl(socket.get(), F_GETFL) & O_NONBLOCK, 0);
  timeval tv{};
  socklen_t length = sizeof tv;
  ASSERT_EQ(::getsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, &length), 0);
  EXPECT_EQ(tv.tv_sec, 1);
  EXPECT_EQ(tv.tv_usec, 500'000);

  ASSERT_TRUE(configure_client_socket(socket.get()).has_value());
  ASSERT_EQ(::getsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, &length), 0);
  EXPECT_EQ(tv.tv_sec, 300);
  ASSERT_EQ(::getsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, &length), 0);
  EXPECT_EQ(tv.tv_sec, 10);
}

}  // namespace
}  // namespace tovik::server
