#include <cstdlib>
#include <optional>
#include <string>

#include "cli/commands.h"
#include "core/utf8.h"

namespace tovik::cli {
namespace {

// An unset variable, or one that is not valid UTF-8, counts as absent. A set
// but empty variable is kept: it fails the absolute-path rule later.
std::optional<std::string> text_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  std::string text(value);
  if (!is_valid_utf8(text)) return std::nullopt;
  return text;
}

std::string join(const std::string& base, const std::string& component) {
  if (base.empty()) return component;
  if (base.back() == '/') return base + component;
  return base + "/" + component;
}

}  // namespace

std::expected<std::string, Failure> resolve_default_data_file() {
  std::string dir;
  if (auto data_dir = text_env("TOVIK_DATA_DIR")) {
    dir = *data_dir;
  } else if (auto xdg = text_env("XDG_DATA_HOME")) {
    dir = join(*xdg, "tovik");
  } else if (auto home = text_env("HOME")) {
    dir = join(*home, ".local/share/tovik");
  } else {
    return std::unexpected(Failure::message("HOME missing; set TOVIK_DATA_DIR"));
  }
  if (dir.empty() || dir.front() != '/') {
    return std::unexpected(Failure::message(
        "data directory must be absolute (TOVIK_DATA_DIR/XDG_DATA_HOME/LOCALAPPDATA/HOME)"));
  }
  return join(dir, "instance.tovik");
}

}  // namespace tovik::cli
