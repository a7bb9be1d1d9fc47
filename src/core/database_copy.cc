// The copy procedure. It reads top to bottom in the order it runs: refuse an
// existing destination, lock and check the source (offline only), stage,
// copy, sync, re-open, compare, publish, clean up.
#include "core/database_copy.h"

#include <errno.h>
#include <fcntl.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/posix_file.h"

namespace tovik {

std::string CopyError::text() const {
  switch (kind) {
    case Kind::Store:
      return std::string(store_error_text(store));
    case Kind::Os:
      return os_error_text(os_error);
    case Kind::Message:
      return message;
  }
  return message;
}

// ---- Names ---------------------------------------------------------------

std::string staging_name(std::uint64_t pid, unsigned attempt) {
  std::string name(kStagingPrefix);
  name += std::to_string(pid);
  name += '-';
  name += std::to_string(attempt);
  name += kStagingSuffix;
  return name;
}

std::optional<std::uint64_t> staging_process(std::string_view name) {
  if (!name.starts_with(kStagingPrefix) || !name.ends_with(kStagingSuffix)) return std::nullopt;
  name.remove_prefix(kStagingPrefix.size());
  name.remove_suffix(kStagingSuffix.size());
  const std::size_t dash = name.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const std::string_view pid = name.substr(0, dash);
  const std::string_view attempt = name.substr(dash + 1);
  const auto digits = [](std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!digits(pid) || !digits(attempt)) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(pid.data(), pid.data() + pid.size(), value);
  if (error != std::errc() || end != pid.data() + pid.size()) return std::nullopt;
  return value;
}

std::size_t remove_stale_staging(const std::string& directory, FileSystem& fs) {
  auto names = fs.list_directory(directory);
  if (!names) return 0;
  const std::uint64_t own = fs.process_id();
  std::size_t removed = 0;
  for (const std::string& name : *names) {
    const auto pid = staging_process(name);
    if (!pid || *pid == own || !fs.process_gone(*pid)) continue;
    std::string path = directory;
    if (path.back() != '/') path += '/';
    if (fs.remove(path + name)) ++removed;
  }
  return removed;
}

namespace {

std::string_view strip_trailing_slashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

}  // namespace

std::string destination_directory(std::string_view path) {
  path = strip_trailing_slashes(path);
  const std::size_t slash = path.rfind('/');
  // No slash, or the path is the root itself: no parent to speak of.
  if (slash == std::string_view::npos || path == "/") return ".";
  std::string_view dir = path.substr(0, slash);
  while (!dir.empty() && dir.back() == '/') dir.remove_suffix(1);
  if (dir.empty()) return "/";
  return std::string(dir);
}

std::string_view final_name(std::string_view path) {
  path = strip_trailing_slashes(path);
  if (path == "/") return {};
  const std::size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name == "." || name == "..") return {};
  return name;
}

namespace {

using Failure = CopyError;

// ---- Helpers of the procedure --------------------------------------------

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) {
      return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string join_path(const std::string& dir, std::string_view name) {
  std::string path = dir;
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

Failure io_failure() { return Failure::from_store(StoreError::Io); }

// A second descriptor on the same open file: flock belongs to the open file
// description, so the lock stays held while either descriptor is open. This
// lets Store::open take ownership of one while the procedure keeps reading
// (and keeps the lock) through the other.
std::expected<UniqueFd, Failure> duplicate(const UniqueFd& fd) {
  const int copy = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return std::unexpected(io_failure());
  return UniqueFd(copy);
}

// Fills buffer from offset; a read error or an early end of file is Io, as
// for every read of a database file.
std::expected<void, Failure> read_exactly(FileSystem& io, int fd, std::span<std::byte> buffer,
                                          std::uint64_t offset) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    auto n = io.read_at(fd, buffer.subspan(done), offset + done);
    if (!n) {
      if (n.error() == EINTR) continue;
      return std::unexpected(io_failure());
    }
    if (*n == 0) return std::unexpected(io_failure());
    done += *n;
  }
  return {};
}

std::expected<void, Failure> write_all(FileSystem& io, int fd, std::span<const std::byte> data) {
  while (!data.empty()) {
    auto n = io.write(fd, data);
    if (!n) {
      if (n.error() == EINTR) continue;
      return std::unexpected(Failure::from_os(n.error()));
    }
    // A regular file that accepts nothing without an error is out of room in
    // all but name.
    if (*n == 0) return std::unexpected(Failure::from_os(EIO));
    data = data.subspan(*n);
  }
  return {};
}

// The staging file from its creation until the link has given it the
// destination name and its own name is removed. Dropping it while armed
// closes its descriptor and then removes the name: every failure after the
// file exists cleans up this way, whichever step it came from.
class StagingFile {
 public:
  StagingFile(FileSystem& io, std::string path, UniqueFd fd)
      : io_(io), path_(std::move(path)), fd_(std::move(fd)) {}
  StagingFile(const StagingFile&) = delete;
  StagingFile& operator=(const StagingFile&) = delete;
  ~StagingFile() {
    fd_.reset();
    if (armed_) (void)io_.remove(path_);
  }

  const std::string& path() const { return path_; }
  UniqueFd& fd() { return fd_; }
  // The name has been removed on the success path; nothing is left to clean.
  void disarm() { armed_ = false; }

 private:
  FileSystem& io_;
  std::string path_;
  UniqueFd fd_;
  bool armed_ = true;
};

std::expected<void, Failure> refuse_existing(FileSystem& io, const std::string& path) {
  auto found = io.exists(path);
  if (!found) return std::unexpected(Failure::from_os(found.error()));
  if (*found) return std::unexpected(Failure::from_message(std::string(kDestinationExists) + path));
  return {};
}

// Both names are refused before the source is touched: a backup that cannot
// succeed never takes the source's lock away from anyone else. A credential
// name too long to be a file name cannot exist, so it does not stand in the
// way.
std::expected<void, Failure> refuse_existing_destination(FileSystem& io,
                                                         const std::string& destination) {
  if (auto ok = refuse_existing(io, destination); !ok) return ok;
  auto ok = refuse_existing(io, destination + std::string(kCredentialSuffix));
  if (!ok && ok.error().kind == Failure::Kind::Os && ok.error().os_error == ENAMETOOLONG) return {};
  return ok;
}

std::expected<std::unique_ptr<StagingFile>, Failure> create_staging(
    FileSystem& io, const std::string& directory, std::string_view destination_name) {
  const std::uint64_t pid = io.process_id();
  for (unsigned attempt = 0; attempt < kStagingAttempts; ++attempt) {
    const std::string name = staging_name(pid, attempt);
    // On a case-insensitive file system this name would be the destination
    // itself, and the link would then fail against our own staging file.
    if (equal_ignoring_ascii_case(destination_name, name)) continue;
    std::string path = join_path(directory, name);
    auto fd = io.create_exclusive(path);
    if (fd) return std::make_unique<StagingFile>(io, std::move(path), std::move(*fd));
    if (fd.error() != EEXIST) return std::unexpected(Failure::from_os(fd.error()));
  }
  return std::unexpected(Failure::from_message(std::string(kNoStagingName)));
}

// ---- The procedure -------------------------------------------------------

// The source, locked and checked: the descriptor that holds its lock until
// the copy is published (no commit can change it meanwhile), and its length.
struct LockedSource {
  UniqueFd fd;
  std::uint64_t bytes = 0;
};

std::expected<LockedSource, Failure> lock_and_check(const std::string& source, FileSystem& io,
                                                    const ValidatorFactory& validator,
                                                    const StoreConfig& config) {
  auto opened = open_database_file(source, false);
  if (!opened) return std::unexpected(Failure::from_store(opened.error()));
  auto source_fd = duplicate(*opened);
  if (!source_fd) return std::unexpected(source_fd.error());
  {
    auto length = io.file_size(source_fd->get());
    if (!length) return std::unexpected(io_failure());
    // The opening below would initialise an empty file, and a backup must
    // never write to its source.
    if (*length == 0) return std::unexpected(Failure::from_store(StoreError::Corrupt));
  }
  {
    auto store = Store::open(std::move(*opened), config, kDefaultIndexEntries);
    if (!store) return std::unexpected(Failure::from_store(store.error()));
    if (auto checked = store->verify(validator()); !checked) {
      return std::unexpected(Failure::from_store(checked.error()));
    }
  }
  auto length = io.file_size(source_fd->get());
  if (!length) return std::unexpected(io_failure());
  return LockedSource{std::move(*source_fd), *length};
}

// Copies the first `bytes` of from into to (written at its position) and
// syncs to; the disk gets the copy while it is made.
std::expected<void, Failure> copy_bytes(FileSystem& io, int from, int to, std::uint64_t bytes) {
  std::vector<std::byte> buffer(kCopyBufferSize);
  std::uint64_t writeback_from = 0;
  for (std::uint64_t offset = 0; offset < bytes;) {
    const auto piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(kCopyBufferSize, bytes - offset));
    const std::span<std::byte> chunk(buffer.data(), piece);
    if (auto ok = read_exactly(io, from, chunk, offset); !ok) return ok;
    if (auto ok = write_all(io, to, chunk); !ok) return ok;
    offset += piece;
    if (offset - writeback_from >= kWritebackStep) {
      io.start_writeback(to, writeback_from, offset - writeback_from);
      writeback_from = offset;
    }
  }
  if (auto ok = io.sync(to); !ok) return std::unexpected(Failure::from_os(ok.error()));
  return {};
}

// The staged copy must stand on its own as a database before it gets a
// name a user would trust. Opening checks only the current snapshot; the
// comparison covers every byte, the other slot included, against the
// still-locked source.
std::expected<void, Failure> check_staged(FileSystem& io, StagingFile& staged, int source_fd,
                                          std::uint64_t bytes, const StoreConfig& config) {
  staged.fd().reset();
  auto reopened = open_existing_database(staged.path());
  if (!reopened) return std::unexpected(Failure::from_store(reopened.error()));
  auto staged_fd = duplicate(*reopened);
  if (!staged_fd) return std::unexpected(staged_fd.error());
  staged.fd() = std::move(*staged_fd);
  {
    auto store = Store::open(std::move(*reopened), config, kDefaultIndexEntries);
    if (!store) return std::unexpected(Failure::from_store(store.error()));
  }
  std::vector<std::byte> mine_buffer(kCopyBufferSize);
  std::vector<std::byte> theirs_buffer(kCopyBufferSize);
  for (std::uint64_t offset = 0; offset < bytes;) {
    const auto piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(kCopyBufferSize, bytes - offset));
    const std::span<std::byte> mine(mine_buffer.data(), piece);
    const std::span<std::byte> theirs(theirs_buffer.data(), piece);
    if (auto ok = read_exactly(io, source_fd, mine, offset); !ok) return ok;
    if (auto ok = read_exactly(io, staged.fd().get(), theirs, offset); !ok) return ok;
    if (std::memcmp(mine.data(), theirs.data(), piece) != 0) {
      return std::unexpected(Failure::from_message(std::string(kStagedCopyDiffers)));
    }
    offset += piece;
  }
  return {};
}

// Everything after the source is held: stage, copy, check, publish.
std::expected<CopyResult, Failure> stage_and_publish(FileSystem& io, int source_fd,
                                                     std::uint64_t bytes,
                                                     const std::string& destination,
                                                     const StoreConfig& config) {
  const std::string directory = destination_directory(destination);
  remove_stale_staging(directory, io);
  auto staging = create_staging(io, directory, final_name(destination));
  if (!staging) return std::unexpected(staging.error());
  StagingFile& staged = **staging;
  if (auto ok = copy_bytes(io, source_fd, staged.fd().get(), bytes); !ok) {
    return std::unexpected(ok.error());
  }
  if (auto ok = check_staged(io, staged, source_fd, bytes, config); !ok) {
    return std::unexpected(ok.error());
  }
  if (auto ok = io.link(staged.path(), destination); !ok) {
    return std::unexpected(Failure::from_os(ok.error()));
  }

  // Published: from here on the destination stays, whatever else fails.
  staged.fd().reset();
  auto removed = io.remove(staged.path());
  staged.disarm();
  if (auto ok = io.sync_directory(directory); !ok) {
    return std::unexpected(Failure::from_os(ok.error()));
  }
  // The copy is complete and durable, but a leftover staging name is still
  // worth a failure: the user would otherwise never learn of it.
  if (!removed) return std::unexpected(Failure::from_os(removed.error()));
  return CopyResult{bytes, destination};
}

}  // namespace

std::expected<CopyResult, CopyError> copy_database_file(const std::string& source,
                                                        const std::string& destination,
                                                        FileSystem& io,
                                                        const ValidatorFactory& validator,
                                                        const StoreConfig& config) {
  if (auto ok = refuse_existing_destination(io, destination); !ok) {
    return std::unexpected(ok.error());
  }
  auto locked = lock_and_check(source, io, validator, config);
  if (!locked) return std::unexpected(locked.error());
  return stage_and_publish(io, locked->fd.get(), locked->bytes, destination, config);
}

std::expected<CopyResult, CopyError> copy_open_database(int source_fd,
                                                        const std::string& destination,
                                                        FileSystem& io, const StoreConfig& config) {
  if (auto ok = refuse_existing_destination(io, destination); !ok) {
    return std::unexpected(ok.error());
  }
  auto length = io.file_size(source_fd);
  if (!length) return std::unexpected(io_failure());
  if (*length == 0) return std::unexpected(Failure::from_store(StoreError::Corrupt));
  return stage_and_publish(io, source_fd, *length, destination, config);
}

}  // namespace tovik
