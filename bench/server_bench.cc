// Server round trips on loopback, each beside its floor: a minimal echo
// server that answers the same request frames with the same response bytes,
// measured in the same run with the same client code.
//
//   get round trips per second, 1 and 8 clients
//   put commits per second, 1 and 8 clients, into a den of 1,000 documents
//   connect to authenticated (one Argon2id verification), 1 client
//
// With "puts" as the third argument it measures puts only: 1, 8 and 32
// clients into a den of 1,000 documents and into a full database (80,000
// records of about 170 bytes, puts replacing documents of the same size).
//
// Usage: server_bench [seconds per figure, default 1] [repetitions, default 3] [puts]
// The store lives in a temporary directory (TMPDIR or /tmp); its sync cost is
// that file system's.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/store.h"
#include "document/documents.h"
#include "document/keys.h"
#include "server/credentials.h"
#include "server/protocol.h"
#include "server/server.h"
#include "server/transport.h"

#include <stdlib.h>

namespace {

using namespace tovik;
using namespace tovik::server;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kUser = "admin";
constexpr std::string_view kPassword = "correct horse battery";

UniqueFd connect_to(std::uint16_t port) {
  UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_storage storage;
  const socklen_t length = to_sockaddr(SocketAddress::v4(127, 0, 0, 1, port), storage);
  if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  if (!set_nodelay(socket.get())) std::exit(1);
  return socket;
}

// One request, one response, exactly as the protocol client does it.
bool round_trip(int socket, const std::string& request) {
  if (!write_frame(socket, request)) return false;
  auto response = read_response_frame(socket);
  return response && response->ok;
}

// ---------------------------------------------------------------------------
// The floor: reads a frame, answers with canned bytes. No decoding, no lock.

class EchoServer {
 public:
  explicit EchoServer(std::string reply) : reply_(std::move(reply)) {
    auto listener = bind_listener(SocketAddress::v4(127, 0, 0, 1, 0));
    if (!listener || !set_nonblocking(listener->get(), false)) std::exit(1);
    listener_ = std::move(*listener);
    port_ = local_address(listener_.get())->port;
    acceptor_ = std::thread([this] { accept_loop(); });
  }
  ~EchoServer() {
    ::shutdown(listener_.get(), SHUT_RDWR);
    acceptor_.join();
    for (auto& t : workers_) t.join();
  }
  std::uint16_t port() const { return port_; }

 private:
  void accept_loop() {
    while (true) {
      const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      workers_.emplace_back([this, fd] { serve(UniqueFd(fd)); });
    }
  }
  void serve(UniqueFd socket) {
    if (!set_nodelay(socket.get())) return;
    while (true) {
      auto frame = FrameDeadline::after(socket.get(), nullptr, std::chrono::seconds{60});
      if (!frame || !read_frame_body(*frame, kMaxFrameBytes)) return;
      if (!write_frame(socket.get(), reply_)) return;
    }
  }

  std::string reply_;
  UniqueFd listener_;
  std::uint16_t port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> workers_;
};

// ---------------------------------------------------------------------------

struct Figure {
  double per_second = 0;
  double micros_each = 0;
};

// Runs `clients` threads, each doing `step` on its own socket for `seconds`.
Figure measure(int clients, double seconds, const std::function<UniqueFd()>& open,
               const std::function<bool(int, int, long)>& step) {
  std::vector<UniqueFd> sockets;
  for (int i = 0; i < clients; ++i) sockets.push_back(open());
  std::atomic<long> total{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  const auto until_offset = std::chrono::duration<double>(seconds);
  Clock::time_point started;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      while (!go) std::this_thread::yield();
      const auto until = Clock::now() + until_offset;
      long done = 0;
      while (Clock::now() < until) {
        if (!step(sockets[i].get(), i, done)) {
          std::fprintf(stderr, "round trip failed\n");
          std::exit(1);
        }
        ++done;
      }
      total += done;
    });
  }
  started = Clock::now();
  go = true;
  for (auto& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
  Figure figure;
  figure.per_second = static_cast<double>(total) / elapsed;
  figure.micros_each = 1e6 * elapsed * clients / static_cast<double>(total);
  return figure;
}

void report(const char* name, const std::vector<Figure>& real, const std::vector<Figure>& floor) {
  const auto best = [](const std::vector<Figure>& runs) {
    return std::max_element(
               runs.begin(), runs.end(),
               [](const Figure& a, const Figure& b) { return a.per_second < b.per_second; })
        ->per_second;
  };
  const auto worst = [](const std::vector<Figure>& runs) {
    return std::min_element(
               runs.begin(), runs.end(),
               [](const Figure& a, const Figure& b) { return a.per_second < b.per_second; })
        ->per_second;
  };
  const double r = best(real);
  const double f = best(floor);
  std::printf(
      "%-22s %10.0f/s (runs %.0f-%.0f)  echo floor %10.0f/s (runs %.0f-%.0f)  ratio %.2fx\n", name,
      r, worst(real), r, f, worst(floor), f, f / r);
}

std::string fill_id(long n) { return "fill-" + std::to_string(n); }

// A served store of its own in a temporary directory, filled before the
// server starts.
class ServedStore {
 public:
  ServedStore(const Credentials& credentials, int documents, std::size_t pad) {
    const char* tmp = std::getenv("TMPDIR");
    dir_ = std::string(tmp ? tmp : "/tmp") + "/tovik-bench-XXXXXX";
    if (::mkdtemp(dir_.data()) == nullptr) std::exit(1);
    auto fd = open_database_file(dir_ + "/bench.tovik", true);
    if (!fd) std::exit(1);
    auto store = Store::open(std::move(*fd), StoreConfig{});
    if (!store) std::exit(1);
    store_.emplace(std::move(*store));
    fill(documents, pad);
    auto listener = bind_listener(SocketAddress::v4(127, 0, 0, 1, 0));
    if (!listener) std::exit(1);
    port_ = local_address(listener->get())->port;
    config_.max_clients = 64;
    server_ = std::thread([this, &credentials, listener = std::move(*listener)]() mutable {
      (void)run_server(std::move(listener), *store_, credentials, stop_, config_);
    });
  }
  ~ServedStore() {
    stop_ = true;
    server_.join();
    store_.reset();
    std::filesystem::remove_all(dir_);
  }
  std::uint16_t port() const { return port_; }

  // Replacing document(n, pad) with document(n, pad, version) keeps its size.
  static std::string document(long n, std::size_t pad, long version = 0) {
    return dump_compact(Json{{"name", "tovik"},
                             {"n", n},
                             {"pad", std::string(pad, static_cast<char>('a' + version % 26))}});
  }

 private:
  // Raw records in batches, as a put would have stored them.
  void fill(int documents, std::size_t pad) {
    std::vector<Mutation> batch;
    for (int i = 0; i < documents; ++i) {
      Json stored = *parse_json(document(i, pad));
      stored["id"] = fill_id(i);
      batch.push_back(
          Mutation{*document_key(kDefaultWarren, "bench", fill_id(i)), dump_compact(stored)});
      if (batch.size() == kMaxBatchMutations || i + 1 == documents) {
        std::sort(batch.begin(), batch.end(),
                  [](const Mutation& a, const Mutation& b) { return a.key < b.key; });
        if (!store_->apply(batch)) {
          std::fprintf(stderr, "fill failed\n");
          std::exit(1);
        }
        batch.clear();
      }
    }
  }

  std::string dir_;
  std::optional<Store> store_;
  ServerConfig config_;
  std::atomic<bool> stop_{false};
  std::thread server_;
  std::uint16_t port_ = 0;
};

// Put throughput with 1, 8 and 32 clients into a den of 1,000 documents and
// into a full database; each client replaces documents of its own.
int puts_only(const Credentials& credentials, double seconds, int repetitions) {
  const std::string auth =
      encode_request(Command{Auth{std::string(kUser), std::string(kPassword)}});
  const std::string use = encode_request(Command{Use{"bench"}});
  std::printf("server_bench puts: %.1f s per run, %d runs, best run shown with the range\n",
              seconds, repetitions);
  struct Setting {
    const char* name;
    int documents;
    std::size_t pad;
  } settings[] = {{"den of 1,000", 1'000, 120}, {"full database", 80'000, 95}};
  for (const Setting& setting : settings) {
    ServedStore served(credentials, setting.documents, setting.pad);
    const auto open_session = [&] {
      UniqueFd socket = connect_to(served.port());
      if (!round_trip(socket.get(), auth) || !round_trip(socket.get(), use)) std::exit(1);
      return socket;
    };
    for (int clients : {1, 8, 32}) {
      const long per_client = setting.documents / 32;
      std::vector<double> rates;
      for (int r = 0; r < repetitions; ++r) {
        rates.push_back(measure(clients, seconds, open_session, [&](int s, int c, long n) {
                          const long id = c * per_client + n % per_client;
                          return round_trip(s, encode_request(Command{Put{
                                                   fill_id(id), *parse_json(ServedStore::document(
                                                                    id, setting.pad, n + 1))}}));
                        }).per_second);
      }
      std::sort(rates.begin(), rates.end());
      std::printf("put %s, %d client(s)  %8.0f/s (runs %.0f-%.0f)\n", setting.name, clients,
                  rates.back(), rates.front(), rates.back());
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
  const int repetitions = argc > 2 ? std::atoi(argv[2]) : 3;
  if (argc > 3 && std::string_view(argv[3]) == "puts") {
    auto credentials = create_credentials(kUser, kPassword);
    if (!credentials) return 1;
    return puts_only(*credentials, seconds, repetitions);
  }

  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp ? tmp : "/tmp") + "/tovik-bench-XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr) return 1;
  auto fd = open_database_file(dir + "/bench.tovik", true);
  if (!fd) return 1;
  auto store = Store::open(std::move(*fd), StoreConfig{});
  auto credentials = create_credentials(kUser, kPassword);
  if (!store || !credentials) return 1;

  auto listener = bind_listener(SocketAddress::v4(127, 0, 0, 1, 0));
  if (!listener) return 1;
  const std::uint16_t port = local_address(listener->get())->port;
  std::atomic<bool> stop{false};
  ServerConfig config;
  config.max_clients = 64;
  std::thread server(
      [&] { (void)run_server(std::move(*listener), *store, *credentials, stop, config); });

  const std::string auth =
      encode_request(Command{Auth{std::string(kUser), std::string(kPassword)}});
  const std::string use = encode_request(Command{Use{"bench"}});
  const auto open_session = [&] {
    UniqueFd socket = connect_to(port);
    if (!round_trip(socket.get(), auth) || !round_trip(socket.get(), use)) std::exit(1);
    return socket;
  };

  // Seed one document and capture the exact response bytes for the floor.
  std::string get_request = encode_request(Command{Get{"seed"}});
  std::string get_reply;
  std::string put_reply;
  {
    UniqueFd socket = open_session();
    const auto put = encode_request(Command{Put{"seed", Json{{"name", "tovik"}, {"n", 1}}}});
    put_reply = encode_response(success(Json{{"stored", "seed"}}));
    if (!round_trip(socket.get(), put)) return 1;
    if (!write_frame(socket.get(), get_request)) return 1;
    auto frame = FrameDeadline::after(socket.get(), nullptr, std::chrono::seconds{5});
    if (!frame) return 1;
    auto body = read_frame_body(*frame, kMaxFrameBytes);
    if (!body) return 1;
    get_reply = std::move(*body);
  }
  const auto put_request = [](int client, long n) {
    return encode_request(Command{Put{"c" + std::to_string(client) + "-" + std::to_string(n % 100),
                                      Json{{"name", "tovik"}, {"n", n}}}});
  };

  std::printf("server_bench: %.1f s per run, %d runs, best run shown with the range of all runs\n",
              seconds, repetitions);
  for (int clients : {1, 8}) {
    EchoServer echo(get_reply);
    std::vector<Figure> real, floor;
    for (int r = 0; r < repetitions; ++r) {
      real.push_back(measure(clients, seconds, open_session,
                             [&](int s, int, long) { return round_trip(s, get_request); }));
      floor.push_back(measure(
          clients, seconds, [&] { return connect_to(echo.port()); },
          [&](int s, int, long) { return round_trip(s, get_request); }));
    }
    const std::string name = "get, " + std::to_string(clients) + " client(s)";
    report(name.c_str(), real, floor);
  }
  {
    // Puts are measured against a den of 1,000 documents, so each commit
    // rewrites a snapshot of that size; the measured puts add at most 900
    // more, as each client cycles through 100 names of its own.
    UniqueFd socket = open_session();
    for (int i = 0; i < 1000; ++i) {
      const auto fill = encode_request(
          Command{Put{"fill-" + std::to_string(i), Json{{"name", "tovik"}, {"n", i}}}});
      if (!round_trip(socket.get(), fill)) return 1;
    }
  }
  for (int clients : {1, 8}) {
    EchoServer echo(put_reply);
    std::vector<Figure> real, floor;
    for (int r = 0; r < repetitions; ++r) {
      real.push_back(measure(clients, seconds, open_session, [&](int s, int c, long n) {
        return round_trip(s, put_request(c, n));
      }));
      floor.push_back(measure(
          clients, seconds, [&] { return connect_to(echo.port()); },
          [&](int s, int c, long n) { return round_trip(s, put_request(c, n)); }));
    }
    const std::string name = "put, " + std::to_string(clients) + " client(s)";
    report(name.c_str(), real, floor);
  }
  {
    const std::string auth_reply = encode_response(success(Json{{"authenticated", true}}));
    EchoServer echo(auth_reply);
    for (int r = 0; r < repetitions; ++r) {
      const auto timed = [&](std::uint16_t to) {
        const auto started = Clock::now();
        UniqueFd socket = connect_to(to);
        if (!round_trip(socket.get(), auth)) std::exit(1);
        return std::chrono::duration<double, std::milli>(Clock::now() - started).count();
      };
      const double real = timed(port);
      const double floor = timed(echo.port());
      std::printf("connect to authenticated  %8.2f ms  echo floor %6.3f ms\n", real, floor);
    }
  }

  stop = true;
  server.join();
  std::filesystem::remove_all(dir);
  return 0;
}
