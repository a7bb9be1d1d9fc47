#include "core/posix_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

#include "core/file_system.h"

namespace tovik {
namespace {

// Offsets beyond what off_t can hold cannot exist in any file.
bool offset_fits(std::uint64_t offset, std::size_t length) {
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
  return offset <= kMax && length <= kMax - offset;
}

// Transfers are capped so a single call never exceeds what the kernel moves at once.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

}  // namespace

std::expected<std::size_t, int> pread_full(int fd, std::uint64_t offset, std::span<char> buf) {
  if (!offset_fits(offset, buf.size())) return std::unexpected(EINVAL);
  std::size_t done = 0;
  while (done < buf.size()) {
    const std::size_t want = std::min(buf.size() - done, kMaxTransfer);
    const ssize_t n = ::pread(fd, buf.data() + done, want, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

std::expected<void, int> pwrite_full(int fd, std::uint64_t offset, std::span<const char> data) {
  if (!offset_fits(offset, data.size())) return std::unexpected(EINVAL);
  std::size_t done = 0;
  while (done < data.size()) {
    const std::size_t want = std::min(data.size() - done, kMaxTransfer);
    const ssize_t n = ::pwrite(fd, data.data() + done, want, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    if (n == 0) return std::unexpected(EIO);
    done += static_cast<std::size_t>(n);
  }
  return {};
}

std::expected<void, int> fsync_retry(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return std::unexpected(errno);
  }
  return {};
}

void start_writeback(int fd, std::uint64_t offset, std::uint64_t length) {
  if (!offset_fits(offset, length)) return;
  // Interrupted or refused, the writes still reach the disk at the fsync.
  (void)::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                          SYNC_FILE_RANGE_WRITE);
}

std::string parent_directory(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  // "/name" lives in the root directory, whose name is the slash itself.
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::expected<void, int> sync_directory(const std::string& directory) {
  int fd = -1;
  do {
    fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(errno);
  UniqueFd owner(fd);
  return fsync_retry(owner.get());
}

std::expected<void, StoreError> FileIo::read_at(int fd, std::uint64_t offset, std::span<char> buf) {
  for (std::size_t done = 0; done < buf.size();) {
    auto n = fs_->read_at(fd, std::as_writable_bytes(buf.subspan(done)), offset + done);
    if (!n || *n == 0) return std::unexpected(StoreError::Io);
    done += *n;
  }
  return {};
}

std::expected<void, StoreError> FileIo::write_at(int fd, std::uint64_t offset,
                                                 std::span<const char> data) {
  if (!fs_->write_at(fd, offset, data)) return std::unexpected(StoreError::Io);
  return {};
}

std::expected<void, StoreError> FileIo::sync(int fd) {
  if (!fs_->sync(fd)) return std::unexpected(StoreError::Io);
  return {};
}

void FileIo::start_writeback(int fd, std::uint64_t offset, std::uint64_t length) {
  fs_->start_writeback(fd, offset, length);
}

std::expected<void, StoreError> FileIo::truncate(int fd, std::uint64_t length) {
  if (!fs_->truncate(fd, length)) return std::unexpected(StoreError::Io);
  return {};
}

std::expected<std::uint64_t, StoreError> FileIo::size(int fd) {
  auto length = fs_->file_size(fd);
  if (!length) return std::unexpected(StoreError::Io);
  return *length;
}

}  // namespace tovik
