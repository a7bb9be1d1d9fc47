// RAII file descriptor, positioned I/O loops and the storage engine's file seam.
//
// UniqueFd owns one descriptor (files and sockets alike). The free functions
// are the system calls' loops: they go over short transfers, retry on EINTR
// and report failures as errno values; FileSystem (file_system.h) is built on
// them. FileIo is the store's view of a FileSystem: a thin, non-virtual
// adapter through which a Store does its positioned reads and writes, syncs
// and size changes, with every failure mapped to StoreError::Io (the system
// error is not kept). It is not a seam of its own: tests record or fail calls
// in the FileSystem beneath it (FaultyFileSystem), which must outlive it.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <utility>

#include "core/store_error.h"

namespace tovik {

// Owns one descriptor; closes it on destruction. Move-only.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Reads up to buf.size() bytes at `offset`, stopping early only at end of
// file; returns the number of bytes read, or errno.
[[nodiscard]] std::expected<std::size_t, int> pread_full(int fd, std::uint64_t offset,
                                                         std::span<char> buf);
// Writes all of `data` at `offset`, or returns errno (EIO when the system
// accepts no bytes at all).
[[nodiscard]] std::expected<void, int> pwrite_full(int fd, std::uint64_t offset,
                                                   std::span<const char> data);
// fsync, retried while interrupted.
[[nodiscard]] std::expected<void, int> fsync_retry(int fd);
// Asks the system to start writing the file's dirty pages in [offset,
// offset + length) to the disk now rather than at the next fsync, so the disk
// works while the caller goes on. Only a hint: it makes nothing durable, and
// a failure is left to the fsync that must follow, which reports it.
void start_writeback(int fd, std::uint64_t offset, std::uint64_t length);
// How much a long run of writes lets accumulate before it is handed to
// start_writeback: large enough that the calls cost nothing next to the
// copying, small enough that the disk starts early.
inline constexpr std::uint64_t kWritebackStep = std::uint64_t{1} << 20;
// The directory that holds `path`: "." when the path has no parent or an empty one.
std::string parent_directory(const std::string& path);
// Opens `directory` read-only, fsyncs it (retrying on EINTR) and closes it, so
// that new or removed names in it are durable.
[[nodiscard]] std::expected<void, int> sync_directory(const std::string& directory);

class FileSystem;

class FileIo {
 public:
  explicit FileIo(FileSystem& fs) : fs_(&fs) {}

  // Fills all of `buf` from `offset`; end of file before that is Io.
  [[nodiscard]] std::expected<void, StoreError> read_at(int fd, std::uint64_t offset,
                                                        std::span<char> buf);
  // Writes all of `data` at `offset`.
  [[nodiscard]] std::expected<void, StoreError> write_at(int fd, std::uint64_t offset,
                                                         std::span<const char> data);
  // Makes every completed write to the file durable.
  [[nodiscard]] std::expected<void, StoreError> sync(int fd);
  // start_writeback above: a hint, never a substitute for sync.
  void start_writeback(int fd, std::uint64_t offset, std::uint64_t length);
  // Sets the file's length.
  [[nodiscard]] std::expected<void, StoreError> truncate(int fd, std::uint64_t length);
  // The file's current length.
  [[nodiscard]] std::expected<std::uint64_t, StoreError> size(int fd);

 private:
  FileSystem* fs_;
};

}  // namespace tovik
