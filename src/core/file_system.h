// The operating-system boundary for files: every call that the storage
// engine, the credential registry, backup, the tool's export file and init's
// data directory make on files goes through one FileSystem. Errors are errno
// values, mapped by each caller to its own kinds (the store's FileIo to
// StoreError, the registry to CredentialError, the tool to its
// "<strerror> (os error N)" failures).
//
// The base class makes the real system calls: each loops over interrupted
// calls, and every descriptor it opens is close-on-exec. Tests derive from
// it and override what they want to fail or observe, or wrap a FileSystem
// in FaultyFileSystem. A FileSystem holds no state of its own and may be
// shared; a subclass that records calls is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/posix_file.h"

namespace tovik {

// "<strerror> (os error N)": how the system shows an operating-system error.
std::string os_error_text(int error_number);

// A write that the system accepted no byte of.
inline constexpr std::string_view kWriteZeroText = "failed to write whole buffer";

class FileSystem {
 public:
  FileSystem() = default;
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;
  virtual ~FileSystem();

  // Opens path read-write (when create_new, creating it exclusively with
  // mode 0600) and takes its exclusive lock without waiting: a file locked
  // elsewhere fails at once (EWOULDBLOCK).
  [[nodiscard]] virtual std::expected<UniqueFd, int> open_locked(const std::string& path,
                                                                 bool create_new);
  // Opens path read-only.
  [[nodiscard]] virtual std::expected<UniqueFd, int> open_read(const std::string& path);
  // Creates path exclusively, write-only, mode 0600.
  [[nodiscard]] virtual std::expected<UniqueFd, int> create_exclusive(const std::string& path);
  // Creates path exclusively, write-only, mode 0666 before the umask: a file
  // made for the user (an export), readable as the user's umask allows.
  [[nodiscard]] virtual std::expected<UniqueFd, int> create_user_file(const std::string& path);
  // Looks path up without following a final symbolic link. true when
  // anything is there (a dangling link included), false when not found.
  [[nodiscard]] virtual std::expected<bool, int> exists(const std::string& path);
  // Looks path up following symbolic links: true for a directory, false for
  // anything else; a path that is not there fails (ENOENT).
  [[nodiscard]] virtual std::expected<bool, int> is_directory(const std::string& path);
  // Creates one directory, mode 0777 before the umask (EEXIST when anything
  // is there already).
  [[nodiscard]] virtual std::expected<void, int> make_directory(const std::string& path);
  [[nodiscard]] virtual std::expected<std::uint64_t, int> file_size(int fd);
  // One positioned read; 0 means end of file.
  [[nodiscard]] virtual std::expected<std::size_t, int> read_at(int fd, std::span<std::byte> buffer,
                                                                std::uint64_t offset);
  // One write at the file position; may be short.
  [[nodiscard]] virtual std::expected<std::size_t, int> write(int fd,
                                                              std::span<const std::byte> data);
  // All of data at offset (EIO when the system accepts no bytes at all).
  [[nodiscard]] virtual std::expected<void, int> write_at(int fd, std::uint64_t offset,
                                                          std::span<const char> data);
  [[nodiscard]] virtual std::expected<void, int> truncate(int fd, std::uint64_t length);
  // Makes every completed write to the file durable.
  [[nodiscard]] virtual std::expected<void, int> sync(int fd);
  // A hint that the written range may go to the disk now (start_writeback).
  virtual void start_writeback(int fd, std::uint64_t offset, std::uint64_t length);
  // Hard link that never replaces: fails with EEXIST when new_path exists.
  [[nodiscard]] virtual std::expected<void, int> link(const std::string& existing,
                                                      const std::string& new_path);
  [[nodiscard]] virtual std::expected<void, int> remove(const std::string& path);
  // Opens the directory read-only, fsyncs it and closes it, so that names
  // made or removed in it are durable.
  [[nodiscard]] virtual std::expected<void, int> sync_directory(const std::string& path);
  // The names in a directory, "." and ".." left out, in no given order.
  [[nodiscard]] virtual std::expected<std::vector<std::string>, int> list_directory(
      const std::string& path);
  virtual std::uint64_t process_id();
  // True only when no process with this id exists (kill(pid, 0) is ESRCH);
  // a process of another user counts as running.
  virtual bool process_gone(std::uint64_t pid);
};

// The shared real implementation.
FileSystem& real_file_system();

// Passes every call to `base` except the `countdown`-th call (counted from 1)
// of the operation named `operation` (a method name, e.g. "open_locked",
// "sync"), which fails with `error` instead; with Repeat::Always every later
// call of that operation fails too. The one way tests fail file calls: a
// wrapper made before the Store that uses it can be armed and disarmed while
// the Store lives.
class FaultyFileSystem : public FileSystem {
 public:
  enum class Repeat { Once, Always };

  // Passes everything until armed.
  explicit FaultyFileSystem(FileSystem& base) : base_(base) {}
  FaultyFileSystem(FileSystem& base, std::string_view operation, unsigned countdown, int error,
                   Repeat repeat = Repeat::Once)
      : base_(base) {
    arm(operation, countdown, error, repeat);
  }

  // Chooses the fault afresh, counting calls from now on. With `after`
  // named, counting begins only after the first call of that operation (a
  // read that fails once the commit has started writing).
  void arm(std::string_view operation, unsigned countdown, int error, Repeat repeat = Repeat::Once,
           std::string_view after = {});
  // Passes everything again.
  void disarm() { arm({}, 0, 0); }

  std::expected<UniqueFd, int> open_locked(const std::string& path, bool create_new) override;
  std::expected<UniqueFd, int> open_read(const std::string& path) override;
  std::expected<UniqueFd, int> create_exclusive(const std::string& path) override;
  std::expected<UniqueFd, int> create_user_file(const std::string& path) override;
  std::expected<bool, int> exists(const std::string& path) override;
  std::expected<bool, int> is_directory(const std::string& path) override;
  std::expected<void, int> make_directory(const std::string& path) override;
  std::expected<std::uint64_t, int> file_size(int fd) override;
  std::expected<std::size_t, int> read_at(int fd, std::span<std::byte> buffer,
                                          std::uint64_t offset) override;
  std::expected<std::size_t, int> write(int fd, std::span<const std::byte> data) override;
  std::expected<void, int> write_at(int fd, std::uint64_t offset,
                                    std::span<const char> data) override;
  std::expected<void, int> truncate(int fd, std::uint64_t length) override;
  std::expected<void, int> sync(int fd) override;
  void start_writeback(int fd, std::uint64_t offset, std::uint64_t length) override;
  std::expected<void, int> link(const std::string& existing, const std::string& new_path) override;
  std::expected<void, int> remove(const std::string& path) override;
  std::expected<void, int> sync_directory(const std::string& path) override;
  std::expected<std::vector<std::string>, int> list_directory(const std::string& path) override;

  // Whether the fault has been injected yet.
  bool fired() const { return fired_; }

 private:
  // True when this call of `operation` is the one to fail.
  bool strikes(std::string_view operation);
  // The injected error when this call strikes, else what call() returns.
  template <typename Call>
  auto pass(std::string_view operation, Call&& call) -> decltype(call()) {
    if (strikes(operation)) return std::unexpected(error_);
    return call();
  }

  FileSystem& base_;
  std::string operation_;
  std::string after_;
  unsigned countdown_ = 0;
  int error_ = 0;
  Repeat repeat_ = Repeat::Once;
  bool fired_ = false;
};

}  // namespace tovik
