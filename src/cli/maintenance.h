// Backup and restore: the offline commands over the one verified copy
// procedure of core/database_copy.h, which makes a durable copy of a database
// file under a name that did not exist.
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
// Single-threaded. The file operations that a fault can hit go through
// MaintenanceIo so tests can fail the copy, the sync or the link, and can fix
// the process id used in staging names.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "cli/failure.h"
#include "core/database_copy.h"
#include "core/file_system.h"
#include "core/posix_file.h"
#include "core/store.h"

namespace tovik::cli {

using ::tovik::kCopyBufferSize;
using ::tovik::kStagingAttempts;
using ::tovik::kStagingPrefix;
using ::tovik::kStagingSuffix;

using ::tovik::kDestinationExists;
using ::tovik::kNoStagingName;
using ::tovik::kStagedCopyDiffers;

// The file operations of the copy procedure: the system's one file seam, so
// tests can fail the copy, the sync or the link and fix the process id used
// in staging names.
using MaintenanceIo = FileSystem;

// What a successful copy reports: the source's length and the destination as
// the user typed it.
using CopyResult = ::tovik::CopyResult;

// The configuration every offline open uses; the staged copy must open under
// exactly the rules the source passed.
using ::tovik::kBackupConfig;

// The whole procedure, source first, destination second; backup and restore
// differ only in which of the two the user calls the backup. `validator`
// makes the per-record check of the integrity check (a fresh one per call,
// since the document check keeps state across records). `config` is
// kBackupConfig everywhere but in tests that want small files.
using ValidatorFactory = ::tovik::ValidatorFactory;
[[nodiscard]] std::expected<CopyResult, Failure> copy_database(
    const std::string& source, const std::string& destination, MaintenanceIo& io,
    const ValidatorFactory& validator, const StoreConfig& config = kBackupConfig);
// The same with the real system calls and the document layer's validator.
[[nodiscard]] std::expected<CopyResult, Failure> copy_database(const std::string& source,
                                                               const std::string& destination);

// The procedure's failure as the tool reports it (the same text).
Failure copy_failure(const CopyError& error);

using ::tovik::destination_directory;
using ::tovik::final_name;
using ::tovik::staging_name;

// {"bytes":N,"ok":true,"path":"..."} as one compact JSON text.
std::string format_copy_result(const CopyResult& result);

}  // namespace tovik::cli
