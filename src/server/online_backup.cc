#include "server/online_backup.h"

#include "core/database_copy.h"
#include "core/utf8.h"
#include "document/documents.h"

namespace tovik::server {

bool is_valid_backup_name(std::string_view name) {
  if (name.empty() || name.size() > kMaxBackupNameBytes) return false;
  if (name.front() == '.' || name.ends_with(kCredentialSuffix)) return false;
  if (name.find('/') != std::string_view::npos) return false;
  if (name.find('\0') != std::string_view::npos) return false;
  return is_valid_utf8(name);
}

std::expected<OnlineBackup, std::string> backup_served_database(Store& store,
                                                                const std::string& directory,
                                                                std::string_view name,
                                                                FileSystem& fs) {
  if (directory.empty()) return std::unexpected(std::string(kBackupNotEnabled));
  if (!is_valid_backup_name(name)) return std::unexpected(std::string(kInvalidBackupName));
  std::string destination = directory;
  if (destination.back() != '/') destination += '/';
  destination += name;
  // The same gate as offline: a damaged database is not copied. The store
  // checked its current snapshot when it opened; this reads every record.
  if (auto checked = check_documents(store); !checked) {
    return std::unexpected(std::string(store_error_text(checked.error())));
  }
  // The staged copy is opened under the rules the served store opened with.
  auto copied = copy_open_database(store.file_descriptor(), destination, fs, store.config());
  if (!copied) return std::unexpected(copied.error().text());
  return OnlineBackup{copied->bytes, store.generation()};
}

}  // namespace tovik::server
