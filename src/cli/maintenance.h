// Backup and restore: one procedure that makes a verified, durable copy of a
// database file under a name that did not exist.
//
// The copy never overwrites anything. The source stays locked (its flock is
// held through a duplicate descriptor) from before the integrity check until
// the copy is published, so no commit can slip in between; the copy is staged
// under a private name in the destination's directory, synced, re-opened as a
// database, compared byte for byte with the locked source and only then given
// the destination name by a hard link, which fails instead of replacing.
// Any failure after the staging file exists removes it before returning, so a
// failed copy leaves neither the destination nor a staging file behind.
//
// Single-threaded; the procedure owns every descriptor it opens. The file
// operations that a fault can hit go through MaintenanceIo so tests can fail
// the copy, the sync or the link, and can fix the process id used in staging
// names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "cli/failure.h"
#include "core/file_system.h"
#include "core/posix_file.h"
#include "core/store.h"

namespace tovik::cli {

// One read, write or compare step: a 32 MiB file takes 512 of them, and two
// such buffers are all the memory a copy needs.
inline constexpr std::size_t kCopyBufferSize = 65'536;
// Attempt numbers 0 to 127 in the staging name; beyond that the directory is
// littered with leftovers and a human should look.
inline constexpr unsigned kStagingAttempts = 128;
inline constexpr std::string_view kStagingPrefix = ".tovik-copy-";
inline constexpr std::string_view kStagingSuffix = ".tmp";

inline constexpr std::string_view kDestinationExists = "destination already exists: ";
inline constexpr std::string_view kNoStagingName = "no unused backup staging filename";
inline constexpr std::string_view kStagedCopyDiffers = "staged copy differs from the locked source";

// The file operations of the copy procedure: the system's one file seam, so
// tests can fail the copy, the sync or the link and fix the process id used
// in staging names.
using MaintenanceIo = FileSystem;

// What a successful copy reports: the source's length and the destination as
// the user typed it.
struct CopyResult {
  std::uint64_t bytes = 0;
  std::string path;
};

// The configuration every offline open uses; the staged copy must open under
// exactly the rules the source passed.
inline constexpr StoreConfig kBackupConfig{};

// The whole procedure, source first, destination second; backup and restore
// differ only in which of the two the user calls the backup. `validator`
// makes the per-record check of the integrity check (a fresh one per call,
// since the document check keeps state across records). `config` is
// kBackupConfig everywhere but in tests that want small files.
using ValidatorFactory = std::function<RecordValidator()>;
[[nodiscard]] std::expected<CopyResult, Failure> copy_database(
    const std::string& source, const std::string& destination, MaintenanceIo& io,
    const ValidatorFactory& validator, const StoreConfig& config = kBackupConfig);
// The same with the real system calls and the document layer's validator.
[[nodiscard]] std::expected<CopyResult, Failure> copy_database(const std::string& source,
                                                               const std::string& destination);

// ".tovik-copy-<pid>-<attempt>.tmp".
std::string staging_name(std::uint64_t pid, unsigned attempt);
// The directory that holds path's final component: its parent, or "." when
// it has none or an empty one.
std::string destination_directory(std::string_view path);
// The final component of path, empty when there is none (a root or "..").
std::string_view final_name(std::string_view path);
// {"bytes":N,"ok":true,"path":"..."} as one compact JSON text.
std::string format_copy_result(const CopyResult& result);

}  // namespace tovik::cli
