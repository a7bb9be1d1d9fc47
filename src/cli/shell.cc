// Placeholder until this action is written.
#include "cli/commands.h"

namespace tovik::cli {

Outcome run_shell(const std::optional<std::string>&) { return std::unexpected(Failure::message("the shell is not available in this build")); }

}  // namespace tovik::cli
