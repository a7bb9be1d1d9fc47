// Backup and restore: the offline commands over the copy procedure.
#include "cli/maintenance.h"

#include <iostream>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "document/documents.h"

namespace tovik::cli {

std::string format_copy_result(const CopyResult& result) {
  nlohmann::json object = nlohmann::json::object();
  object["bytes"] = result.bytes;
  object["ok"] = true;
  object["path"] = result.path;
  // Replacing rather than throwing keeps a path with broken UTF-8 printable;
  // the command line only hands over valid UTF-8 anyway.
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Failure copy_failure(const CopyError& error) {
  switch (error.kind) {
    case CopyError::Kind::Store:
      return Failure::store(error.store);
    case CopyError::Kind::Os:
      return Failure::os(error.os_error);
    case CopyError::Kind::Message:
      break;
  }
  return Failure::message(error.message);
}

std::expected<CopyResult, Failure> copy_database(const std::string& source,
                                                 const std::string& destination, MaintenanceIo& io,
                                                 const ValidatorFactory& validator,
                                                 const StoreConfig& config) {
  auto copied = ::tovik::copy_database_file(source, destination, io, validator, config);
  if (!copied) return std::unexpected(copy_failure(copied.error()));
  return std::move(*copied);
}

std::expected<CopyResult, Failure> copy_database(const std::string& source,
                                                 const std::string& destination) {
  return copy_database(source, destination, real_file_system(),
                       [] { return make_document_validator(); });
}

// ---- Commands ------------------------------------------------------------

namespace {

Outcome run_copy(const std::string& source, const std::string& destination) {
  auto result = copy_database(source, destination);
  if (!result) return std::unexpected(result.error());
  return write_output(std::cout, format_copy_result(*result) + "\n");
}

}  // namespace

Outcome run_backup(const std::string& database, const std::string& new_backup) {
  return run_copy(database, new_backup);
}

Outcome run_restore(const std::string& backup, const std::string& new_database) {
  return run_copy(backup, new_database);
}

}  // namespace tovik::cli
