// Placeholder until this action is written.
#include "cli/commands.h"

namespace tovik::cli {

Outcome run_offline(std::span<const std::string> args) { return std::unexpected(Failure::message(args[0] + " is not available in this build")); }

}  // namespace tovik::cli
