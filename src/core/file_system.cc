#include "core/file_system.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <limits>

namespace tovik {
namespace {

// Runs call() again while it fails with EINTR; returns its last result.
template <typename Call>
auto retry_interrupted(Call&& call) {
  auto result = call();
  while (result < 0 && errno == EINTR) result = call();
  return result;
}

std::expected<UniqueFd, int> open_path(const std::string& path, int flags, mode_t mode = 0600) {
  const int fd = retry_interrupted([&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); });
  if (fd < 0) return std::unexpected(errno);
  return UniqueFd(fd);
}

}  // namespace

std::string os_error_text(int error_number) {
  char buffer[256];
  // The GNU form returns a pointer that may or may not be the buffer.
  const char* description = ::strerror_r(error_number, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(error_number) + ")";
}

FileSystem::~FileSystem() = default;

std::expected<UniqueFd, int> FileSystem::open_locked(const std::string& path, bool create_new) {
  auto fd = open_path(path, O_RDWR | (create_new ? O_CREAT | O_EXCL : 0));
  if (!fd) return fd;
  if (retry_interrupted([&] { return ::flock(fd->get(), LOCK_EX | LOCK_NB); }) != 0) {
    return std::unexpected(errno);
  }
  return fd;
}

std::expected<UniqueFd, int> FileSystem::open_read(const std::string& path) {
  return open_path(path, O_RDONLY);
}

std::expected<UniqueFd, int> FileSystem::create_exclusive(const std::string& path) {
  return open_path(path, O_WRONLY | O_CREAT | O_EXCL);
}

std::expected<UniqueFd, int> FileSystem::create_user_file(const std::string& path) {
  return open_path(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
}

std::expected<bool, int> FileSystem::exists(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) return true;
  if (errno == ENOENT) return false;
  return std::unexpected(errno);
}

std::expected<bool, int> FileSystem::is_directory(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::unexpected(errno);
  return S_ISDIR(st.st_mode);
}

std::expected<void, int> FileSystem::make_directory(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) != 0) return std::unexpected(errno);
  return {};
}

std::expected<std::uint64_t, int> FileSystem::file_size(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::unexpected(errno);
  if (st.st_size < 0) return std::unexpected(EIO);
  return static_cast<std::uint64_t>(st.st_size);
}

std::expected<std::size_t, int> FileSystem::read_at(int fd, std::span<std::byte> buffer,
                                                    std::uint64_t offset) {
  const ssize_t n = retry_interrupted(
      [&] { return ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(offset)); });
  if (n < 0) return std::unexpected(errno);
  return static_cast<std::size_t>(n);
}

std::expected<std::size_t, int> FileSystem::write(int fd, std::span<const std::byte> data) {
  const ssize_t n = retry_interrupted([&] { return ::write(fd, data.data(), data.size()); });
  if (n < 0) return std::unexpected(errno);
  return static_cast<std::size_t>(n);
}

std::expected<void, int> FileSystem::write_at(int fd, std::uint64_t offset,
                                              std::span<const char> data) {
  return pwrite_full(fd, offset, data);
}

std::expected<void, int> FileSystem::truncate(int fd, std::uint64_t length) {
  if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return std::unexpected(EFBIG);
  }
  if (retry_interrupted([&] { return ::ftruncate(fd, static_cast<off_t>(length)); }) != 0) {
    return std::unexpected(errno);
  }
  return {};
}

std::expected<void, int> FileSystem::sync(int fd) { return fsync_retry(fd); }

void FileSystem::start_writeback(int fd, std::uint64_t offset, std::uint64_t length) {
  tovik::start_writeback(fd, offset, length);
}

std::expected<void, int> FileSystem::link(const std::string& existing,
                                          const std::string& new_path) {
  // Flags 0: a symbolic link at `existing` is linked itself, never followed;
  // an existing new_path makes linkat fail rather than replace it.
  if (::linkat(AT_FDCWD, existing.c_str(), AT_FDCWD, new_path.c_str(), 0) != 0) {
    return std::unexpected(errno);
  }
  return {};
}

std::expected<void, int> FileSystem::remove(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return std::unexpected(errno);
  return {};
}

std::expected<void, int> FileSystem::sync_directory(const std::string& path) {
  return tovik::sync_directory(path);
}

std::expected<std::vector<std::string>, int> FileSystem::list_directory(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return std::unexpected(errno);
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  const int error = errno;
  ::closedir(dir);
  if (error != 0) return std::unexpected(error);
  return names;
}

std::uint64_t FileSystem::process_id() { return static_cast<std::uint64_t>(::getpid()); }

bool FileSystem::process_gone(std::uint64_t pid) {
  // 0 and anything beyond a pid_t would name a group or wrap around.
  if (pid == 0 || pid > static_cast<std::uint64_t>(std::numeric_limits<pid_t>::max())) {
    return false;
  }
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

FileSystem& real_file_system() {
  static FileSystem real;
  return real;
}

// ---------------------------------------------------------------------------
// FaultyFileSystem

void FaultyFileSystem::arm(std::string_view operation, unsigned countdown, int error, Repeat repeat,
                           std::string_view after) {
  operation_ = operation;
  after_ = after;
  countdown_ = countdown;
  error_ = error;
  repeat_ = repeat;
  fired_ = false;
}

bool FaultyFileSystem::strikes(std::string_view operation) {
  if (!after_.empty()) {
    if (operation == after_) after_.clear();
    return false;
  }
  if (operation != operation_) return false;
  if (fired_) return repeat_ == Repeat::Always;
  if (countdown_ == 0 || --countdown_ > 0) return false;
  fired_ = true;
  return true;
}

std::expected<UniqueFd, int> FaultyFileSystem::open_locked(const std::string& path,
                                                           bool create_new) {
  return pass("open_locked", [&] { return base_.open_locked(path, create_new); });
}

std::expected<UniqueFd, int> FaultyFileSystem::open_read(const std::string& path) {
  return pass("open_read", [&] { return base_.open_read(path); });
}

std::expected<UniqueFd, int> FaultyFileSystem::create_exclusive(const std::string& path) {
  return pass("create_exclusive", [&] { return base_.create_exclusive(path); });
}

std::expected<UniqueFd, int> FaultyFileSystem::create_user_file(const std::string& path) {
  return pass("create_user_file", [&] { return base_.create_user_file(path); });
}

std::expected<bool, int> FaultyFileSystem::exists(const std::string& path) {
  return pass("exists", [&] { return base_.exists(path); });
}

std::expected<bool, int> FaultyFileSystem::is_directory(const std::string& path) {
  return pass("is_directory", [&] { return base_.is_directory(path); });
}

std::expected<void, int> FaultyFileSystem::make_directory(const std::string& path) {
  return pass("make_directory", [&] { return base_.make_directory(path); });
}

std::expected<std::uint64_t, int> FaultyFileSystem::file_size(int fd) {
  return pass("file_size", [&] { return base_.file_size(fd); });
}

std::expected<std::size_t, int> FaultyFileSystem::read_at(int fd, std::span<std::byte> buffer,
                                                          std::uint64_t offset) {
  return pass("read_at", [&] { return base_.read_at(fd, buffer, offset); });
}

std::expected<std::size_t, int> FaultyFileSystem::write(int fd, std::span<const std::byte> data) {
  return pass("write", [&] { return base_.write(fd, data); });
}

std::expected<void, int> FaultyFileSystem::write_at(int fd, std::uint64_t offset,
                                                    std::span<const char> data) {
  return pass("write_at", [&] { return base_.write_at(fd, offset, data); });
}

std::expected<void, int> FaultyFileSystem::truncate(int fd, std::uint64_t length) {
  return pass("truncate", [&] { return base_.truncate(fd, length); });
}

std::expected<void, int> FaultyFileSystem::sync(int fd) {
  return pass("sync", [&] { return base_.sync(fd); });
}

void FaultyFileSystem::start_writeback(int fd, std::uint64_t offset, std::uint64_t length) {
  base_.start_writeback(fd, offset, length);
}

std::expected<void, int> FaultyFileSystem::link(const std::string& existing,
                                                const std::string& new_path) {
  return pass("link", [&] { return base_.link(existing, new_path); });
}

std::expected<void, int> FaultyFileSystem::remove(const std::string& path) {
  return pass("remove", [&] { return base_.remove(path); });
}

std::expected<void, int> FaultyFileSystem::sync_directory(const std::string& path) {
  return pass("sync_directory", [&] { return base_.sync_directory(path); });
}

std::expected<std::vector<std::string>, int> FaultyFileSystem::list_directory(
    const std::string& path) {
  return pass("list_directory", [&] { return base_.list_directory(path); });
}

}  // namespace tovik
