// Placeholder until this action is written.
#include "cli/commands.h"

namespace tovik::cli {

Outcome run_batch(const std::optional<std::string>&) { return std::unexpected(Failure::message("batch is not available in this build")); }

}  // namespace tovik::cli
