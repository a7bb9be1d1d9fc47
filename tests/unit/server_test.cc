// The accept loop and the conversation, in process: a real store in a
// temporary directory, run_server on 127.0.0.1 port 0 with short injected
// timings, and raw clients speaking frames.
#include "server/server.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/store.h"
#include "server/credentials.h"
#include "server/protocol.h"
#include "temp_dir.h"

#include <stdlib.h>

namespace tovik::server {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr std::string_view kUser = "admin";
constexpr std::string_view kPassword = "correct horse battery";

ServerConfig fast_config() {
  ServerConfig config;
  config.timings.first_request_timeout = milliseconds{3'000};
  config.timings.request_timeout = milliseconds{3'000};
  config.timings.stop_poll_interval = milliseconds{20};
  config.timings.send_timeout = milliseconds{1'000};
  config.timings.accept_idle_interval = milliseconds{10};
  return config;
}

std::size_t open_descriptor_count() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

// A client speaking raw frames: what a test sends is exactly what goes out.
class Client {
 public:
  explicit Client(std::uint16_t port) {
    socket_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_storage storage;
    const socklen_t length = to_sockaddr(SocketAddress::v4(127, 0, 0, 1, port), storage);
    connected_ = ::connect(socket_.get(), reinterpret_cast<sockaddr*>(&storage), length) == 0;
  }

  bool connected() const { return connected_; }
  int fd() const { return socket_.get(); }
  void close() { socket_.reset(); }

  void send_raw(std::string_view bytes) {
    (void)::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }

  std::optional<Response> receive(milliseconds timeout = milliseconds{3'000}) {
    auto response = read_response_frame(socket_.get(), timeout);
    if (!response) return std::nullopt;
    return std::move(*response);
  }

  std::optional<Response> call(const Command& command) {
    if (!write_frame(socket_.get(), encode_request(command))) return std::nullopt;
    return receive();
  }

  std::optional<Response> auth(std::string_view user = kUser,
                               std::string_view password = kPassword) {
    return call(Auth{std::string(user), std::string(password)});
  }

  // True when the server has closed its side (after any bytes still queued).
  bool sees_close(milliseconds timeout = milliseconds{3'000}) {
    const auto until = steady_clock::now() + timeout;
    char buffer[4'096];
    while (steady_clock::now() < until) {
      pollfd waiting{socket_.get(), POLLIN, 0};
      if (::poll(&waiting, 1, 20) <= 0) continue;
      const ssize_t got = ::recv(socket_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (got == 0 || (got < 0 && errno == ECONNRESET)) return true;
    }
    return false;
  }

 private:
  UniqueFd socket_;
  bool connected_ = false;
};

std::string failure_code(const std::optional<Response>& response) {
  if (!response || !response->error) return "<none>";
  return response->error->code;
}

class ServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto created = create_credentials(kUser, kPassword);
    ASSERT_TRUE(created.has_value()) << created.error().text;
    credentials_ = new Credentials(std::move(*created));
  }
  static void TearDownTestSuite() {
    delete credentials_;
    credentials_ = nullptr;
  }

  void SetUp() override {
    auto fd = open_database_file(dir_ + "/db.tovik", true);
    ASSERT_TRUE(fd.has_value());
    auto store = Store::open(std::move(*fd), StoreConfig{});
    ASSERT_TRUE(store.has_value()) << store_error_text(store.error());
    store_.emplace(std::move(*store));
  }

  void TearDown() override {
    stop_server();
    store_.reset();
  }

  void start(const ServerConfig& config = fast_config()) {
    config_ = config;
    stop_ = false;
    auto listener = bind_listener(SocketAddress::v4(127, 0, 0, 1, 0));
    ASSERT_TRUE(listener.has_value()) << listener.error().text;
    auto bound = local_address(listener->get());
    ASSERT_TRUE(bound.has_value());
    port_ = bound->port;
    result_.reset();
    thread_ = std::thread([this, listener = std::move(*listener)]() mutable {
      result_ = run_server(std::move(listener), *store_, *credentials_, stop_, config_);
    });
  }

  // Sets the stop flag and returns how long run_server took to return.
  milliseconds stop_server() {
    if (!thread_.joinable()) return milliseconds{0};
    const auto started = steady_clock::now();
    stop_ = true;
    thread_.join();
    return std::chrono::duration_cast<milliseconds>(steady_clock::now() - started);
  }

  Client authenticated_client() {
    Client client(port_);
    EXPECT_TRUE(client.connected());
    auto response = client.auth();
    EXPECT_TRUE(response && response->ok) << failure_code(response);
    return client;
  }

  // Waits until the loop has reaped every connection (descriptors back to
  // `baseline`), so slot and descriptor checks do not race it.
  bool descriptors_return_to(std::size_t baseline) {
    for (int i = 0; i < 200; ++i) {
      if (open_descriptor_count() <= baseline) return true;
      std::this_thread::sleep_for(milliseconds{10});
    }
    return false;
  }

  static Credentials* credentials_;
  TempDir temp_{"tovik-server-test"};
  std::string dir_ = temp_.path();
  std::optional<Store> store_;
  ServerConfig config_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::uint16_t port_ = 0;
  std::optional<std::expected<void, TransportError>> result_;
};

Credentials* ServerTest::credentials_ = nullptr;

TEST_F(ServerTest, AuthenticatedSessionRunsCommandsUntilQuit) {
  start();
  Client client(port_);
  auto authenticated = client.auth();
  ASSERT_TRUE(authenticated && authenticated->ok);
  EXPECT_EQ(authenticated->data, Json({{"authenticated", true}}));

  EXPECT_EQ(client.call(Use{"orders"})->data, Json({{"collection", "orders"}}));
  EXPECT_EQ(client.call(Put{"a1", Json({{"total", 3}})})->data, Json({{"stored", "a1"}}));
  EXPECT_EQ(client.call(Get{"a1"})->data, Json({{"id", "a1"}, {"total", 3}}));
  auto again = client.call(Auth{"admin", std::string(kPassword)});
  EXPECT_EQ(failure_code(again), kCodeOperationFailed);
  EXPECT_EQ(again->error->message, "session is already authenticated");
  EXPECT_EQ(client.call(Quit{})->data, Json({{"bye", true}}));
  EXPECT_TRUE(client.sees_close());

  EXPECT_LT(stop_server(), milliseconds{1'000});
  ASSERT_TRUE(result_.has_value());
  EXPECT_TRUE(result_->has_value());
}

TEST_F(ServerTest, FirstRequestMustBeAVersionOneAuthThatVerifies) {
  start();
  const auto expect_refused = [this](std::string_view body, std::string_view code) {
    Client client(port_);
    client.send_raw(std::string{0, 0, static_cast<char>(body.size() >> 8),
                                static_cast<char>(body.size() & 0xff)} +
                    std::string(body));
    auto response = client.receive();
    EXPECT_EQ(failure_code(response), code) << body;
    EXPECT_TRUE(client.sees_close()) << body;
  };
  expect_refused(R"({"command":{"op":"auth","password":"correct horse battery",)"
                 R"("username":"admin"},"version":2})",
                 kCodeVersion);
  expect_refused(R"({"command":{"op":"warrens"},"version":1})", kCodeAuthentication);
  expect_refused(R"({"command":{"op":"auth","password":"wrong password!!",)"
                 R"("username":"admin"},"version":1})",
                 kCodeAuthentication);
  expect_refused(R"({"command":{"op":"auth","password":"correct horse battery",)"
                 R"("username":"Admin"},"version":1})",
                 kCodeAuthentication);
  expect_refused(R"({"command":{"op":"auth"},"version":1})", kCodeBadFrame);
}

TEST_F(ServerTest, LaterFramesFollowTheConfiguredLimitAndVersionRule) {
  ServerConfig config = fast_config();
  config.max_request_bytes = 128;
  start(config);
  Client client = authenticated_client();
  // 128 bytes exactly is read; the "get" fails only because no den is chosen.
  const std::string head = R"({"command":{"id":")";
  const std::string tail = R"(","op":"get"},"version":1})";
  const std::string body = head + std::string(128 - head.size() - tail.size(), 'i') + tail;
  ASSERT_TRUE(write_frame(client.fd(), body));
  EXPECT_EQ(failure_code(client.receive()), kCodeOperationFailed);
  ASSERT_TRUE(
      write_frame(client.fd(), head + std::string(129 - head.size() - tail.size(), 'i') + tail));
  EXPECT_EQ(failure_code(client.receive()), kCodeBadFrame);
  EXPECT_TRUE(client.sees_close());

  Client other = authenticated_client();
  ASSERT_TRUE(write_frame(other.fd(), R"({"command":{"op":"stats"},"version":7})"));
  EXPECT_EQ(failure_code(other.receive()), kCodeVersion);
  EXPECT_TRUE(other.sees_close());
}

TEST_F(ServerTest, BusyClientIsRefusedBeforeAnythingIsReadAndSlotsComeBack) {
  ServerConfig config = fast_config();
  config.max_clients = 1;
  start(config);
  Client first = authenticated_client();

  Client busy(port_);
  auto refused = busy.receive();  // nothing was sent
  EXPECT_EQ(failure_code(refused), kCodeServerBusy);
  EXPECT_EQ(refused->error->message, kServerBusyMessage);
  EXPECT_TRUE(busy.sees_close());

  // After quit the peer sees the close only once the loop has reaped the
  // connection, so the slot is free by then.
  ASSERT_TRUE(first.call(Quit{}));
  ASSERT_TRUE(first.sees_close());
  Client second = authenticated_client();

  // A client that vanishes without quit frees its slot too.
  second.close();
  bool accepted = false;
  for (int attempt = 0; attempt < 100 && !accepted; ++attempt) {
    Client third(port_);
    auto response = third.auth();
    accepted = response && response->ok;
    if (!accepted) std::this_thread::sleep_for(milliseconds{20});
  }
  EXPECT_TRUE(accepted);
}

TEST_F(ServerTest, StopEndsIdleSessionsPromptly) {
  start();
  Client a = authenticated_client();
  Client b = authenticated_client();
  EXPECT_LT(stop_server(), milliseconds{1'000});
  ASSERT_TRUE(result_.has_value());
  EXPECT_TRUE(result_->has_value());
  EXPECT_TRUE(a.sees_close());
  EXPECT_TRUE(b.sees_close());
  // The listener is closed too.
  EXPECT_FALSE(Client(port_).connected());
}

TEST_F(ServerTest, StopFlagSetBeforeTheLoopReturnsAtOnce) {
  auto listener = bind_listener(SocketAddress::v4(127, 0, 0, 1, 0));
  ASSERT_TRUE(listener.has_value());
  const auto port = local_address(listener->get())->port;
  std::atomic<bool> stop{true};
  const auto started = steady_clock::now();
  auto result = run_server(std::move(*listener), *store_, *credentials_, stop, fast_config());
  EXPECT_TRUE(result.has_value());
  EXPECT_LT(steady_clock::now() - started, milliseconds{100});
  EXPECT_FALSE(Client(port).connected());
}

TEST_F(ServerTest, SessionsKeepTheirOwnPositionAndSeeEachOthersWrites) {
  start();
  Client a = authenticated_client();
  Client b = authenticated_client();
  ASSERT_TRUE(a.call(Use{"c"})->ok);
  ASSERT_TRUE(b.call(Navigate{"w/d"})->ok);
  ASSERT_TRUE(a.call(Put{"x", Json::object()})->ok);
  ASSERT_TRUE(b.call(Put{"y", Json::object()})->ok);
  // b's navigation did not move a, and each reads the other's commit.
  EXPECT_EQ(a.call(Get{"x"})->data, Json({{"id", "x"}}));
  EXPECT_TRUE(a.call(Get{"y"})->data.is_null());
  ASSERT_TRUE(a.call(Navigate{"/w/d"})->ok);
  EXPECT_EQ(a.call(Get{"y"})->data, Json({{"id", "y"}}));
  ASSERT_TRUE(b.call(Use{"c"})->ok);
  EXPECT_EQ(b.call(Get{"x"})->data, Json({{"id", "x"}}));
}

// A small feed, so that it overflows; waits end with a commit, with their
// client leaving (no waiter is left behind) and with the server stopping.
TEST_F(ServerTest, ChangeFeedWaitsEndWithACommitTheirClientOrTheServer) {
  ServerConfig config = fast_config();
  config.feed = FeedLimits{3, 1 << 20};
  start(config);
  Client watcher = authenticated_client();
  Client writer = authenticated_client();
  ASSERT_TRUE(watcher.call(Use{"c"})->ok);
  ASSERT_TRUE(writer.call(Use{"c"})->ok);
  const auto waiting_becomes = [&](std::uint64_t count) {
    for (int i = 0; i < 300; ++i) {
      auto status = writer.call(Server{});
      if (status && status->data["feed"]["waiting"] == count) return true;
      std::this_thread::sleep_for(milliseconds{10});
    }
    return false;
  };
  const std::uint64_t started_at = writer.call(Stats{})->data["generation"].get<std::uint64_t>();
  Changes wait;
  wait.wait_ms = 20'000;
  ASSERT_TRUE(write_frame(watcher.fd(), encode_request(Command{wait})));
  ASSERT_TRUE(waiting_becomes(1));
  // The waiter holds no lock the writer needs; the commit answers it.
  ASSERT_TRUE(writer.call(Put{"a", Json::object()})->ok);
  auto answered = watcher.receive();
  ASSERT_TRUE(answered && answered->ok) << failure_code(answered);
  ASSERT_EQ(answered->data["changes"].size(), 1u);
  EXPECT_EQ(answered->data["changes"][0]["id"], "a");
  EXPECT_EQ(answered->data["next"], started_at + 1);

  for (const char* id : {"b", "c", "d"}) ASSERT_TRUE(writer.call(Put{id, Json::object()})->ok);
  Changes from_start;
  from_start.after = started_at;
  auto refused = watcher.call(from_start);
  ASSERT_TRUE(refused && refused->error);
  EXPECT_EQ(refused->error->message, no_longer_available(started_at, started_at + 1));

  ASSERT_TRUE(write_frame(watcher.fd(), encode_request(Command{wait})));
  ASSERT_TRUE(waiting_becomes(1));
  watcher.close();
  EXPECT_TRUE(waiting_becomes(0));

  Client last = authenticated_client();
  ASSERT_TRUE(write_frame(last.fd(), encode_request(Command{wait})));
  ASSERT_TRUE(waiting_becomes(1));
  writer.close();
  EXPECT_LT(stop_server(), milliseconds{1'000});
  EXPECT_TRUE(last.sees_close());
}

TEST_F(ServerTest, SilentPeersMeetTheFirstAndIdleDeadlines) {
  ServerConfig config = fast_config();
  config.timings.first_request_timeout = milliseconds{150};
  config.timings.request_timeout = milliseconds{250};
  start(config);
  Client silent(port_);
  EXPECT_EQ(failure_code(silent.receive()), kCodeBadFrame);
  EXPECT_TRUE(silent.sees_close());

  Client idle = authenticated_client();
  const auto started = steady_clock::now();
  EXPECT_EQ(failure_code(idle.receive()), kCodeBadFrame);
  EXPECT_GE(steady_clock::now() - started, milliseconds{200});
  EXPECT_TRUE(idle.sees_close());
}

TEST_F(ServerTest, ConfiguredDocumentLimitAppliesToWritesOnly) {
  // Written while the limit was the format's own.
  start();
  {
    Client writer = authenticated_client();
    ASSERT_TRUE(writer.call(Use{"c"})->ok);
    ASSERT_TRUE(writer.call(Put{"big", Json({{"text", std::string(500, 'b')}})})->ok);
    ASSERT_TRUE(writer.call(Put{"small", Json({{"n", 1}})})->ok);
  }
  stop_server();

  ServerConfig config = fast_config();
  config.max_document_bytes = 64;
  start(config);
  Client client = authenticated_client();
  ASSERT_TRUE(client.call(Use{"c"})->ok);
  EXPECT_EQ(client.call(Get{"big"})->data["text"], std::string(500, 'b'));
  EXPECT_TRUE(client.call(Check{})->ok);

  const auto refused = [&](const Command& command) {
    auto response = client.call(command);
    return response && !response->ok &&
           response->error->message == "invalid input or configuration";
  };
  // {"id":"a","t":"<text>"} is 17 bytes around the text.
  EXPECT_TRUE(client.call(Put{"a", Json({{"t", std::string(47, 'x')}})})->ok);
  EXPECT_TRUE(refused(Put{"a", Json({{"t", std::string(48, 'x')}})}));
  EXPECT_TRUE(refused(Insert{"b", Json({{"t", std::string(48, 'x')}})}));
  EXPECT_EQ(client.call(Insert{"a", Json({{"t", std::string(99, 'x')}})})->error->message,
            "shiny already exists");
  EXPECT_TRUE(refused(Update{"small", Json({{"t", std::string(60, 'x')}})}));
  EXPECT_EQ(client.call(Update{"none", Json({{"t", std::string(99, 'x')}})})->error->message,
            "shiny does not exist");
  EXPECT_TRUE(client.call(Update{"small", Json({{"n", 2}})})->ok);
  EXPECT_TRUE(client.call(Delete{"big"})->ok);
  // Nothing refused was written.
  EXPECT_EQ(client.call(Get{"a"})->data["t"], std::string(47, 'x'));
  EXPECT_TRUE(client.call(Get{"b"})->data.is_null());
}

TEST_F(ServerTest, ErrorsOfOneAcceptedConnectionDoNotEndTheLoop) {
  std::atomic<int> accepts{0};
  std::atomic<int> configures{0};
  std::atomic<int> duplicates{0};
  ServerConfig config = fast_config();
  config.hooks.accept = [&accepts](int listener) {
    switch (accepts++) {
      case 0:
        errno = ECONNABORTED;
        return -1;
      case 1:
        errno = EMFILE;
        return -1;
      case 2:
        errno = EPROTO;
        return -1;
      default:
        return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
  };
  config.hooks.configure = [&configures](int socket) {
    if (configures++ == 0) {
      errno = ENOMEM;
      return -1;
    }
    return configure_accepted_socket(socket).has_value() ? 0 : -1;
  };
  config.hooks.duplicate = [&duplicates](int socket) {
    if (duplicates++ == 0) {
      errno = EMFILE;
      return -1;
    }
    return ::fcntl(socket, F_DUPFD_CLOEXEC, 3);
  };
  start(config);
  Client unconfigured(port_);
  EXPECT_TRUE(unconfigured.sees_close());
  Client undoubled(port_);
  EXPECT_TRUE(undoubled.sees_close());
  Client served = authenticated_client();
  EXPECT_TRUE(served.call(Stats{})->ok);
  EXPECT_GE(accepts.load(), 3);
}

TEST_F(ServerTest, ListenerErrorEndsTheLoopAndShutsEveryConnection) {
  std::atomic<bool> broken{false};
  ServerConfig config = fast_config();
  config.hooks.accept = [&broken](int listener) {
    if (broken) {
      errno = EBADF;
      return -1;
    }
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  };
  start(config);
  Client client = authenticated_client();
  broken = true;
  EXPECT_TRUE(client.sees_close());
  thread_.join();
  ASSERT_TRUE(result_.has_value());
  ASSERT_FALSE(result_->has_value());
  EXPECT_EQ(result_->error().os_error, EBADF);
}

TEST_F(ServerTest, ConnectionThreadsAreNamed) {
  start();
  Client client = authenticated_client();
  bool found = false;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    found = found || name == "tovik-client";
  }
  EXPECT_TRUE(found);
}

TEST_F(ServerTest, BadFramesFromManyClientsLeakNothing) {
  start();
  const std::size_t baseline = open_descriptor_count();
  {
    std::vector<Client> clients;
    for (int i = 0; i < 12; ++i) clients.emplace_back(port_);
    clients[0].send_raw(std::string("\0\0\0\0", 4));                // length 0
    clients[1].send_raw(std::string("\xff\xff\xff\xff", 4));        // huge
    clients[2].send_raw(std::string("\0\0\0\x20", 4) + "{\"comm");  // truncated, then gone
    clients[2].close();
    clients[3].send_raw(std::string("\0\0\0\x05", 4) + "]]]]]");  // not JSON
    clients[4].send_raw(std::string("\0\0", 2));                  // half a prefix, gone
    clients[4].close();
    clients[5].close();  // gone at once
    for (int i = 6; i < 12; ++i) {
      auto response = clients[i].auth(kUser, "not the password");
      EXPECT_EQ(failure_code(response), kCodeAuthentication);
    }
    for (int i : {0, 1, 3}) {
      EXPECT_EQ(failure_code(clients[i].receive()), kCodeBadFrame);
      EXPECT_TRUE(clients[i].sees_close());
    }
  }
  EXPECT_TRUE(descriptors_return_to(baseline));
  Client good = authenticated_client();
  EXPECT_TRUE(good.call(Check{})->ok);
}

}  // namespace
}  // namespace tovik::server
