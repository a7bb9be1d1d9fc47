// The server loop: accepts loopback connections and runs each one's
// conversation on its own thread ("tovik-client") against the one shared
// Store.
//
// Locks: every command of every connection executes under one store lock,
// never held while reading or writing the network; at most one password
// verification runs at a time (the auth lock), never together with the store
// lock. The stop flag is set by SIGINT (install_stop_on_sigint) and only read
// here: by the accept loop at least every accept_idle_interval, by every
// frame read at least every stop_poll_interval.
//
// Ownership: run_server owns the listener and every connection socket and
// thread; it returns only after every connection thread has been joined and
// every socket closed. The caller owns the Store and the Credentials and must
// keep them alive until run_server returns. The server prints nothing.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>

#include "core/posix_file.h"
#include "core/store.h"
#include "server/access_log.h"
#include "server/change_feed.h"
#include "server/credentials.h"
#include "server/transport.h"
#include "server/write_groups.h"

namespace tovik {
class Store;
}

namespace tovik::server {

inline constexpr int kListenBacklog = 128;
inline constexpr std::size_t kDefaultMaxClients = 16;
inline constexpr std::uint64_t kDefaultMaxRequestBytes = kMaxFrameBytes;
// The file format's value limit: the store is opened and checked with it.
inline constexpr std::uint64_t kDefaultMaxDocumentBytes = StoreConfig{}.max_value_len;

// Seams for the accept loop's system calls, so tests can make one accepted
// socket fail. Empty members mean the real calls (accept4 with SOCK_CLOEXEC,
// configure_accepted_socket, fcntl F_DUPFD_CLOEXEC above 2). Each returns the
// system's result and leaves errno set on failure, like the call it stands for.
struct ServerHooks {
  std::function<int(int listener)> accept;
  std::function<int(int socket)> configure;  // 0 or -1
  std::function<int(int socket)> duplicate;
};

struct ServerConfig {
  std::size_t max_clients = kDefaultMaxClients;               // 1 to 64
  std::uint64_t max_request_bytes = kDefaultMaxRequestBytes;  // 128 to 1,048,576
  // Largest stored document text put/insert/update may write (2 to 262,144).
  // It limits writes only: a file opened with the format's limit may hold
  // larger documents, which stay readable.
  std::uint64_t max_document_bytes = kDefaultMaxDocumentBytes;
  TransportTimings timings{};
  ServerHooks hooks{};
  GroupLimits write_groups{};  // how many concurrent writes may share a commit
  FeedLimits feed{};           // how much of the recent commits' changes is kept
  // Where the backup command writes its copies; empty: online backup off.
  std::string backup_dir;
  // The access log, or null for none; the caller keeps it alive until
  // run_server returns.
  AccessLog* access_log = nullptr;
};

// Creates a TCP socket of the address's family (close-on-exec), sets
// SO_REUSEADDR, binds, listens (backlog 128) and switches to non-blocking
// mode. The address must already be validated as loopback by the caller.
// Errors are the operating system's.
[[nodiscard]] std::expected<UniqueFd, TransportError> bind_listener(const SocketAddress& address);

// The address the listener is bound to (shows the port chosen for port 0).
[[nodiscard]] std::expected<SocketAddress, TransportError> local_address(int listener);

// Runs the accept loop until `stop` is seen (success) or the listener itself
// fails (that error). Every connection is shut down and joined and the
// listener closed before it returns, on both paths.
//
// Requires: `listener` from bind_listener; `store` opened with the format's
// value limit; nothing else uses `store` until this returns.
[[nodiscard]] std::expected<void, TransportError> run_server(UniqueFd listener, Store& store,
                                                             const Credentials& credentials,
                                                             std::atomic<bool>& stop,
                                                             const ServerConfig& config = {});

// Installs a SIGINT handler whose only action is to set `stop`, and ignores
// SIGPIPE. The handler is installed without SA_RESTART so blocking calls
// return early; every loop here retries them. `stop` must outlive the
// process's use of the handler (a flag with static storage, or one that lives
// until the server has returned). Calling it again re-targets the handler.
[[nodiscard]] std::expected<void, TransportError> install_stop_on_sigint(std::atomic<bool>& stop);

}  // namespace tovik::server
