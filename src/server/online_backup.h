// Online backup: a verified copy of the served database, made while the
// caller holds the store lock, into the server's backup directory.
//
// The name is one file name: 1 to 255 bytes of UTF-8, no "/" and no 00
// byte, not beginning with "." (which also rules out "." and ".." and every
// staging name) and not ending with ".auth" (a credential file name). The
// copy is the procedure of core/database_copy.h after the full integrity
// check of the store: nothing is overwritten, a failed copy leaves nothing
// behind, and the served database is only read.
//
// Requires: exclusive use of the store for the whole call (no commit may
// run during the copy).
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "core/file_system.h"
#include "core/store.h"

namespace tovik::server {

inline constexpr std::string_view kInvalidBackupName = "invalid backup name";
inline constexpr std::string_view kBackupNotEnabled =
    "online backup is not enabled; start the server with --backup-dir <directory>";
inline constexpr std::size_t kMaxBackupNameBytes = 255;

bool is_valid_backup_name(std::string_view name);

struct OnlineBackup {
  std::uint64_t bytes = 0;
  std::uint64_t generation = 0;
};

// directory empty: online backup is off. Failures are the texts shown to
// the client (the offline backup's texts for the copy itself).
[[nodiscard]] std::expected<OnlineBackup, std::string> backup_served_database(
    Store& store, const std::string& directory, std::string_view name, FileSystem& fs);

}  // namespace tovik::server
