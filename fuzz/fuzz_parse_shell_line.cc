// parse_shell_line on any line the shell's reader can hand it (valid UTF-8,
// trimmed, non-empty). A line the shell accepts must become a request the
// server accepts, unless only the nesting limit stands in the way: the
// envelope adds two levels around what the line held.
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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view raw = tovik::fuzz::as_text(data, size);
  if (!tovik::is_valid_utf8(raw)) return 0;
  const std::string_view line = tovik::cli::trim(raw);
  if (line.empty()) return 0;

  auto command = tovik::cli::parse_shell_line(line);
  if (!command) return 0;
  const std::string encoded = tovik::server::encode_request(*command);
  auto decoded = tovik::server::decode_request(encoded);
  if (tovik::cli::scan_brackets(encoded).deepest <= tovik::kMaxJsonDepth) {
    require(decoded.has_value(), "a request built from a shell line decodes on the server");
    require(decoded->command.index() == command->index(), "the server sees the same op");
  }
  return 0;
}
