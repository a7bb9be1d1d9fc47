// Placeholder until provisioning is written.
#include "cli/commands.h"

namespace tovik::cli {

Outcome run_init(const std::optional<std::string>&) {
  return std::unexpected(Failure::message("init is not available in this build"));
}
Outcome run_setup(const std::optional<std::string>&, const std::optional<std::string>&) {
  return std::unexpected(Failure::message("setup is not available in this build"));
}

}  // namespace tovik::cli
