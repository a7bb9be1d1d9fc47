#include <cstdlib>
#include <optional>
#include <string>

#include "cli/commands.h"
#include "cli/environment.h"
#include "core/utf8.h"

namespace tovik::cli {

std::optional<std::string> env_text(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  std::string text(value);
  if (!is_valid_utf8(text)) return std::nullopt;
  return text;
}

namespace {

std::string join(const std::string& base, const std::string& component) {
  if (base.empty()) return component;
  if (base.back() == '/') return base + component;
  return base + "/" + component;
}

}  // namespace

std::expected<std::string, Failure> resolve_default_data_file() {
  std::string dir;
  if (auto data_dir = env_text("TOVIK_DATA_DIR")) {
    dir = *data_dir;
  } else if (auto xdg = env_text("XDG_DATA_HOME")) {
    dir = join(*xdg, "tovik");
  } else if (auto home = env_text("HOME")) {
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
