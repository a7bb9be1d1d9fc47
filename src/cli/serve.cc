// Placeholder until this action is written.
#include "cli/commands.h"

namespace tovik::cli {

Outcome run_serve(std::span<const std::string>) { return std::unexpected(Failure::message("serve is not available in this build")); }

}  // namespace tovik::cli
