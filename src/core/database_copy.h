// The verified copy of a database file: one procedure that makes a durable
// copy of a locked, checked source under a name that did not exist.
//
// A destination's credential file name that is longer than a file name may
// be cannot exist: it counts as absent.
//
// The copy never overwrites anything. It is staged under a private name in
// the destination's directory, synced, re-opened as a database, compared
// byte for byte with the still-locked source and only then given the
// destination name by a hard link, which fails instead of replacing. Any
// failure after the staging file exists removes it before returning, so a
// failed copy leaves neither the destination nor a staging file behind.
// The source's credential file is never copied, and a destination whose
// credential file name is taken is refused like a taken destination.
//
// Before staging, the staging files that killed copies left in the
// destination's directory are removed (remove_stale_staging).
//
// Two entry points share the steps after the source is held:
//   - copy_database_file: the offline tool's form; it opens the source itself
//     (taking its lock), checks it in full and keeps the lock through a
//     duplicate descriptor until the copy is published.
//   - copy_open_database: for a process that already holds the source open
//     and locked (the server) and has checked it; the caller guarantees that
//     nothing writes to the file until this returns (the store lock).
//
// Single-threaded per call; the procedure owns every descriptor it opens.
// Every file operation that a fault can hit goes through the FileSystem
// seam, so tests can fail the copy, the sync or the link and fix the process
// id used in staging names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/file_system.h"
#include "core/store.h"
#include "core/store_error.h"

namespace tovik {

// One read, write or compare step: a 32 MiB file takes 512 of them, and two
// such buffers are all the memory a copy needs.
inline constexpr std::size_t kCopyBufferSize = 65'536;
// Attempt numbers 0 to 127 in the staging name; beyond that the directory is
// littered with leftovers and a human should look.
inline constexpr unsigned kStagingAttempts = 128;
inline constexpr std::string_view kStagingPrefix = ".tovik-copy-";
inline constexpr std::string_view kStagingSuffix = ".tmp";
// The credential file name of a database is its path with this appended.
inline constexpr std::string_view kCredentialSuffix = ".auth";

inline constexpr std::string_view kDestinationExists = "destination already exists: ";
inline constexpr std::string_view kNoStagingName = "no unused backup staging filename";
inline constexpr std::string_view kStagedCopyDiffers = "staged copy differs from the locked source";

// The configuration every offline open uses; the staged copy must open under
// exactly the rules the source passed.
inline constexpr StoreConfig kBackupConfig{};

// Why a copy failed: a storage error, an operating-system error (errno) or
// one of the procedure's own messages above.
struct CopyError {
  enum class Kind : std::uint8_t { Store, Os, Message };
  Kind kind = Kind::Message;
  StoreError store = StoreError::Io;
  int os_error = 0;
  std::string message;

  static CopyError from_store(StoreError error) { return {Kind::Store, error, 0, {}}; }
  static CopyError from_os(int error) { return {Kind::Os, StoreError::Io, error, {}}; }
  static CopyError from_message(std::string text) {
    return {Kind::Message, StoreError::Io, 0, std::move(text)};
  }
  // The storage error's text, "<strerror> (os error N)", or the message.
  std::string text() const;
};

// What a successful copy reports: the source's length and the destination as
// the caller named it.
struct CopyResult {
  std::uint64_t bytes = 0;
  std::string path;
};

// Makes the per-record check of the integrity check (a fresh one per call,
// since the document check keeps state across records).
using ValidatorFactory = std::function<RecordValidator()>;

// The whole offline procedure, source first, destination second. `config`
// is kBackupConfig everywhere but in tests that want small files.
[[nodiscard]] std::expected<CopyResult, CopyError> copy_database_file(
    const std::string& source, const std::string& destination, FileSystem& fs,
    const ValidatorFactory& validator, const StoreConfig& config = kBackupConfig);

// The copy of a source that the caller holds open and locked (source_fd) and
// has checked. Requires: no write to the source until this returns.
[[nodiscard]] std::expected<CopyResult, CopyError> copy_open_database(
    int source_fd, const std::string& destination, FileSystem& fs,
    const StoreConfig& config = kBackupConfig);

// ".tovik-copy-<pid>-<attempt>.tmp": at most 45 bytes, so it fits in any
// directory whatever the destination's name.
std::string staging_name(std::uint64_t pid, unsigned attempt);
// The process id in a name of staging_name's form (decimal digits only),
// nullopt for any other name.
std::optional<std::uint64_t> staging_process(std::string_view name);
// Removes from directory the staging files of processes that no longer run:
// what a copy killed midway left behind. Staging files of running processes
// (this one's included) and every other name are left alone. Best effort:
// a directory that cannot be listed, or a name that cannot be removed, is
// passed over. Returns how many files were removed.
std::size_t remove_stale_staging(const std::string& directory, FileSystem& fs);
// The directory that holds path's final component: its parent, or "." when
// it has none or an empty one.
std::string destination_directory(std::string_view path);
// The final component of path, empty when there is none (a root or "..").
std::string_view final_name(std::string_view path);

}  // namespace tovik
