// Placeholder until backup and restore are written.
#include "cli/commands.h"

namespace tovik::cli {

Outcome run_backup(const std::string&, const std::string&) {
  return std::unexpected(Failure::message("backup is not available in this build"));
}
Outcome run_restore(const std::string&, const std::string&) {
  return std::unexpected(Failure::message("restore is not available in this build"));
}

}  // namespace tovik::cli
