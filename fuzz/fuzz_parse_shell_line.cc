// parse_shell_line on any line the shell's reader can hand it (valid UTF-8,
// trimmed, non-empty). A line the shell accepts must become a request the
// server accepts, unless only the nesting limit stands in the way: the
// envelope adds two levels around what the line held.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "cli/network.h"
#include "cli/shell.h"
#include "core/utf8.h"
#include "document/json.h"
#include "fuzz_check.h"
#include "server/protocol.h"

using tovik::fuzz::require;

namespace {

// Deepest nesting of arrays and objects in compact JSON text.
std::size_t nesting_depth(std::string_view json) {
  std::size_t depth = 0;
  std::size_t deepest = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view raw = tovik::fuzz::as_text(data, size);
  if (!tovik::is_valid_utf8(raw)) return 0;
  const std::string_view line = tovik::cli::trim(raw);
  if (line.empty()) return 0;

  auto command = tovik::cli::parse_shell_line(line);
  if (!command) return 0;
  const std::string encoded = tovik::server::encode_request(*command);
  auto decoded = tovik::server::decode_request(encoded);
  if (nesting_depth(encoded) <= tovik::kMaxJsonDepth) {
    require(decoded.has_value(), "a request built from a shell line decodes on the server");
    require(decoded->command.index() == command->index(), "the server sees the same op");
  }
  return 0;
}
