// Configuration from the environment: a variable that is unset or not valid
// UTF-8 counts as absent; a set but empty one is kept.
#pragma once

#include <optional>
#include <string>

namespace tovik::cli {

std::optional<std::string> env_text(const char* name);

}  // namespace tovik::cli
