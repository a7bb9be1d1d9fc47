#include "server/server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/store.h"
#include "document/documents.h"
#include "document/json.h"
#include "document/keys.h"
#include "document/namespaces.h"
#include "server/dispatch.h"
#include "server/protocol.h"
#include "server/status.h"
#include "server/write_groups.h"

#include <malloc.h>

namespace tovik::server {

namespace {

// Allocations from this size up are given back to the system when freed.
// Without a fixed threshold the allocator raises it after the first large
// free, and every connection thread's arena then keeps its own copy of the
// 19 MiB Argon2 working set (and of large request, response and commit
// buffers): resident memory grows with the number of threads ever run.
constexpr int kReturnToSystemBytes = 1 << 20;

// The name every connection thread carries (at most 15 bytes on Linux).
constexpr const char* kClientThreadName = "tovik-client";

// What every connection thread shares. It lives in run_server's frame,
// which joins every thread before returning, so plain references suffice.
struct Shared {
  Shared(Store& store, const Credentials& credentials, const std::atomic<bool>& stop,
         const ServerConfig& config)
      : store(store),
        credentials(credentials),
        stop(stop),
        config(config),
        writes(store, store_lock, config.max_document_bytes, config.write_groups,
               [this](std::chrono::steady_clock::duration took) { status.record_commit(took); }),
        feed(store.generation(), config.feed) {
    operating.backup_dir = config.backup_dir;
    operating.figures = [this] {
      ServerFigures figures = status.snapshot(this->config.max_clients, this->config.access_log);
      figures.max_request_bytes = this->config.max_request_bytes;
      figures.max_document_bytes = this->config.max_document_bytes;
      figures.feed = feed.figures();
      return figures;
    };
    // Every commit, whatever command made it, reaches the feed once durable.
    store.set_commit_observer(
        [this](std::uint64_t generation, std::span<const Mutation* const> changed) {
          feed.committed(generation, changed);
        });
  }
  ~Shared() { store.set_commit_observer({}); }
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;

  Store& store;
  const Credentials& credentials;
  const std::atomic<bool>& stop;
  const ServerConfig& config;
  GuardedLock store_lock;
  GuardedLock auth_lock;
  ServerStatus status;
  OperatorContext operating;
  // Document writes go through here, so that concurrent ones share commits.
  WriteGroups writes;
  ChangeFeed feed;
};

struct ConnectionEntry {
  UniqueFd duplicate;  // lets the loop shut the connection down
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> finished;
};

bool stopping(const std::atomic<bool>& stop) { return stop.load(std::memory_order_relaxed); }

// Whether the client has closed its end (or the connection broke): a
// waiting request then ends rather than answering no one.
bool peer_gone(int socket) {
  pollfd watched{socket, POLLRDHUP, 0};
  if (::poll(&watched, 1, 0) <= 0) return false;
  return (watched.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void write_ignoring_errors(int socket, const Response& response) {
  const auto ignored = write_response(socket, response);
  (void)ignored;
}

// ---------------------------------------------------------------------------
// One connection

// Verifies the first request's credentials under the auth lock. nullopt
// means: end without a reply (lock broken, or the server is stopping).
std::optional<bool> verify_under_auth_lock(Shared& shared, const Auth& auth) {
  std::unique_lock lock(shared.auth_lock.mutex);
  if (shared.auth_lock.broken) return std::nullopt;
  if (stopping(shared.stop)) return std::nullopt;
  try {
    return verify_credentials(shared.credentials, auth.username, auth.password);
  } catch (...) {
    shared.auth_lock.broken = true;
    return std::nullopt;
  }
}

// Executes one command under the store lock; nullopt means the lock is
// broken and the connection ends without a reply.
std::optional<Response> execute_under_store_lock(Shared& shared, SessionState& session,
                                                 const Command& command) {
  std::unique_lock lock(shared.store_lock.mutex);
  if (shared.store_lock.broken) return std::nullopt;
  try {
    // The store is opened with the file format's value limit, so documents
    // written under a larger earlier configuration stay readable; the
    // configured maximum bounds new writes only.
    // A command that found nothing to change (a create of what exists, a
    // filtered write that matched nothing) made no commit to count.
    const bool timed = commits_on_success(command);
    const std::uint64_t generation = shared.store.generation();
    const auto started =
        timed ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
    auto result = execute(shared.store, session, command, shared.config.max_document_bytes,
                          &shared.operating);
    if (timed && result && shared.store.generation() != generation) {
      shared.status.record_commit(std::chrono::steady_clock::now() - started);
    }
    return to_response(result);
  } catch (...) {
    shared.store_lock.broken = true;
    return std::nullopt;
  }
}

// The conversation on one accepted socket. Returning closes the socket.
void serve_connection(UniqueFd socket, Shared& shared) {
  const int fd = socket.get();
  const TransportTimings& timings = shared.config.timings;
  ConnectionWatch watch(shared.status, shared.config.access_log, fd);
  if (!set_nodelay(fd)) return;

  std::uint64_t received = 0;
  auto first =
      read_request_frame(fd, kMaxFirstRequestBytes, shared.stop, timings.first_request_timeout,
                         timings.stop_poll_interval, &received);
  // Every first request that does not log in is a failed login, logged as
  // one; only a server that is stopping ends the connection unremarked.
  if (!first) {
    if (!stopping(shared.stop)) watch.auth(false, "");
    return;
  }
  watch.transferred(received, 0);
  const auto* auth = std::get_if<Auth>(&first->command);
  if (first->version != kProtocolVersion) {
    watch.auth(false, auth != nullptr ? std::string_view(auth->username) : "");
    write_ignoring_errors(fd, failure(kCodeVersion, kVersionMessage));
    return;
  }
  if (auth == nullptr) {
    watch.auth(false, "");
    write_ignoring_errors(fd, failure(kCodeAuthentication, kAuthenticationMessage));
    return;
  }
  const auto verified = verify_under_auth_lock(shared, *auth);
  if (!verified) return;
  watch.auth(*verified, auth->username);
  if (!*verified) {
    write_ignoring_errors(fd, failure(kCodeAuthentication, kAuthenticationMessage));
    return;
  }
  if (!write_response(fd, success(Json{{"authenticated", true}}))) return;

  SessionState session;
  while (true) {
    auto request =
        read_request_frame(fd, shared.config.max_request_bytes, shared.stop,
                           timings.request_timeout, timings.stop_poll_interval, &received);
    if (!request) return;
    if (request->version != kProtocolVersion) {
      write_ignoring_errors(fd, failure(kCodeVersion, kVersionMessage));
      return;
    }
    // The store lock is released before the response goes out, so a slow
    // reader never holds up the other sessions. A document that lost an
    // integer in decoding is refused before it could be stored changed.
    const auto started = std::chrono::steady_clock::now();
    std::optional<Response> response;
    if (request->integer_out_of_range && stores_document(request->command)) {
      response = failure(kCodeOperationFailed, kNumberOutOfRange);
    } else if (const auto* changes = std::get_if<Changes>(&request->command)) {
      response =
          to_response(execute_changes(shared.feed, session, *changes, timings.stop_poll_interval,
                                      [&] { return stopping(shared.stop) || peer_gone(fd); }));
    } else if (is_document_write(request->command)) {
      response = shared.writes.write(session, request->command);
    } else {
      response = execute_under_store_lock(shared, session, request->command);
    }
    if (!response) return;
    // A frame the client would drop is never sent: the client gets, and the
    // counters see, a failure instead.
    const std::string body = encode_response_within(*response, kMaxFrameBytes);
    watch.command(request->command, *response, std::chrono::steady_clock::now() - started);
    watch.transferred(received, kFramePrefixBytes + body.size());
    if (!write_frame(fd, body)) return;
    if (is_quit(request->command)) return;
  }
}

// ---------------------------------------------------------------------------
// The accept loop

enum class AcceptOutcome { Accepted, Idle, Skipped, Exhausted, Fatal };

// Errors that belong to the one connection being accepted (Linux passes
// pending network errors of the new socket through accept), not to the
// listener: that connection is lost, the loop goes on.
bool is_connection_error(int error) {
  switch (error) {
    case ECONNABORTED:
    case ECONNRESET:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case ETIMEDOUT:
      return true;
    default:
      return false;
  }
}

// Out of descriptors or memory: waiting lets other connections end and free
// some; ending the server would drop every client instead.
bool is_exhaustion_error(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

int default_accept(int listener) { return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); }

int default_duplicate(int socket) { return ::fcntl(socket, F_DUPFD_CLOEXEC, 3); }

struct AcceptResult {
  AcceptOutcome outcome;
  UniqueFd socket;
  int error = 0;
};

AcceptResult accept_one(int listener, const ServerHooks& hooks) {
  while (true) {
    const int fd = hooks.accept ? hooks.accept(listener) : default_accept(listener);
    if (fd >= 0) return {AcceptOutcome::Accepted, UniqueFd(fd), 0};
    const int error = errno;
    if (error == EINTR) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) return {AcceptOutcome::Idle, UniqueFd(), 0};
    if (is_connection_error(error)) return {AcceptOutcome::Skipped, UniqueFd(), error};
    if (is_exhaustion_error(error)) return {AcceptOutcome::Exhausted, UniqueFd(), error};
    return {AcceptOutcome::Fatal, UniqueFd(), error};
  }
}

// Waits until a connection is pending or the interval has passed, whichever
// comes first; a signal just ends the wait early.
void wait_for_connection(int listener, std::chrono::milliseconds interval) {
  pollfd waiting{listener, POLLIN, 0};
  const auto ignored = ::poll(&waiting, 1, static_cast<int>(interval.count()));
  (void)ignored;
}

void reap_finished(std::vector<ConnectionEntry>& connections) {
  for (std::size_t i = 0; i < connections.size();) {
    if (!connections[i].finished->load(std::memory_order_acquire)) {
      ++i;
      continue;
    }
    connections[i].thread.join();
    connections[i].duplicate.reset();
    if (i + 1 != connections.size()) connections[i] = std::move(connections.back());
    connections.pop_back();
  }
}

void stop_all(std::vector<ConnectionEntry>& connections) {
  // Threads blocked in a read see the end of the stream and finish.
  for (auto& entry : connections) ::shutdown(entry.duplicate.get(), SHUT_RDWR);
  for (auto& entry : connections) {
    entry.thread.join();
    entry.duplicate.reset();
  }
  connections.clear();
}

// Starts the thread of one accepted, configured socket.
std::expected<ConnectionEntry, TransportError> spawn_connection(UniqueFd socket, UniqueFd duplicate,
                                                                Shared& shared) {
  ConnectionEntry entry;
  entry.duplicate = std::move(duplicate);
  entry.finished = std::make_shared<std::atomic<bool>>(false);
  try {
    entry.thread =
        std::thread([socket = std::move(socket), &shared, finished = entry.finished]() mutable {
          ::pthread_setname_np(::pthread_self(), kClientThreadName);
          try {
            serve_connection(std::move(socket), shared);
          } catch (...) {
            // Only this connection ends; the loop reaps it like any other.
          }
          finished->store(true, std::memory_order_release);
        });
  } catch (const std::system_error& error) {
    return std::unexpected(TransportError::from_errno(error.code().value()));
  }
  return entry;
}

std::atomic<std::atomic<bool>*> g_sigint_target{nullptr};

extern "C" void on_sigint(int) {
  // Lock-free atomics are the only shared state a handler may touch.
  if (auto* stop = g_sigint_target.load()) stop->store(true);
}

}  // namespace

// ---------------------------------------------------------------------------

std::expected<UniqueFd, TransportError> bind_listener(const SocketAddress& address) {
  const int family = address.family == SocketAddress::Family::V4 ? AF_INET : AF_INET6;
  UniqueFd listener(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener) return std::unexpected(TransportError::from_errno(errno));
  const int on = 1;
  if (::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    return std::unexpected(TransportError::from_errno(errno));
  }
  sockaddr_storage storage;
  const socklen_t length = to_sockaddr(address, storage);
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
    return std::unexpected(TransportError::from_errno(errno));
  }
  if (::listen(listener.get(), kListenBacklog) != 0) {
    return std::unexpected(TransportError::from_errno(errno));
  }
  if (auto done = set_nonblocking(listener.get(), true); !done) {
    return std::unexpected(done.error());
  }
  return listener;
}

std::expected<SocketAddress, TransportError> local_address(int listener) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getsockname(listener, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    return std::unexpected(TransportError::from_errno(errno));
  }
  auto address = from_sockaddr(storage, length);
  if (!address) return std::unexpected(TransportError::from_errno(EAFNOSUPPORT));
  return *address;
}

std::expected<void, TransportError> run_server(UniqueFd listener, Store& store,
                                               const Credentials& credentials,
                                               std::atomic<bool>& stop,
                                               const ServerConfig& config) {
  if (stopping(stop)) return {};
  ::mallopt(M_MMAP_THRESHOLD, kReturnToSystemBytes);
  Shared shared(store, credentials, stop, config);
  std::vector<ConnectionEntry> connections;
  connections.reserve(config.max_clients);
  const ServerHooks& hooks = config.hooks;
  std::expected<void, TransportError> outcome{};

  while (true) {
    // Reaping first: the busy check below counts live connections only.
    reap_finished(connections);
    AcceptResult accepted = accept_one(listener.get(), hooks);
    switch (accepted.outcome) {
      case AcceptOutcome::Idle:
        wait_for_connection(listener.get(), config.timings.accept_idle_interval);
        break;
      case AcceptOutcome::Skipped:
        break;
      case AcceptOutcome::Exhausted:
        std::this_thread::sleep_for(config.timings.accept_idle_interval);
        break;
      case AcceptOutcome::Fatal:
        outcome = std::unexpected(TransportError::from_errno(accepted.error));
        break;
      case AcceptOutcome::Accepted: {
        UniqueFd socket = std::move(accepted.socket);
        const bool configured =
            hooks.configure ? hooks.configure(socket.get()) == 0
                            : configure_accepted_socket(socket.get(), config.timings).has_value();
        // A socket that cannot be set up is one lost connection, not a
        // reason to drop every other client: it is closed here.
        if (!configured) break;
        if (connections.size() >= config.max_clients) {
          if (config.access_log != nullptr) config.access_log->busy(peer_text(socket.get()));
          write_ignoring_errors(socket.get(), failure(kCodeServerBusy, kServerBusyMessage));
          break;
        }
        UniqueFd duplicate(hooks.duplicate ? hooks.duplicate(socket.get())
                                           : default_duplicate(socket.get()));
        if (!duplicate) break;
        auto entry = spawn_connection(std::move(socket), std::move(duplicate), shared);
        if (!entry) {
          outcome = std::unexpected(entry.error());
          break;
        }
        connections.push_back(std::move(*entry));
        break;
      }
    }
    if (!outcome || stopping(stop)) break;
  }

  shared.feed.close();
  stop_all(connections);
  listener.reset();
  return outcome;
}

std::expected<void, TransportError> install_stop_on_sigint(std::atomic<bool>& stop) {
  g_sigint_target.store(&stop);
  struct sigaction action {};
  action.sa_handler = on_sigint;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: blocking calls return so the flag is seen
  if (::sigaction(SIGINT, &action, nullptr) != 0) {
    return std::unexpected(TransportError::from_errno(errno));
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (::sigaction(SIGPIPE, &ignore, nullptr) != 0) {
    return std::unexpected(TransportError::from_errno(errno));
  }
  return {};
}

}  // namespace tovik::server
