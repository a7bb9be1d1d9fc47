// parse_json on any text, checked against its two siblings: outline_json must
// accept exactly what parse_json accepts and find the same members, and both
// dumps must parse back to an equal value.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "document/json.h"
#include "fuzz_check.h"

using tovik::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = tovik::fuzz::as_text(data, size);
  auto parsed = tovik::parse_json(text);

  static constexpr std::array<std::string_view, 3> kNames = {"id", "a", ""};
  std::array<std::optional<std::string_view>, 3> members;
  auto outlined = tovik::outline_json(text, kNames, members);
  require(outlined.has_value() == parsed.has_value(), "outline_json accepts what parse_json does");

  tovik::JsonParseOptions strict;
  strict.reject_duplicate_keys = true;
  auto strict_parsed = tovik::parse_json(text, strict);
  require(!strict_parsed || parsed, "refusing duplicates never accepts more");

  if (!parsed) {
    require(!parsed.error().message.empty(), "a parse error has a message");
    require(parsed.error().line >= 1 && parsed.error().column >= 1, "positions are 1-based");
    require(!tovik::json_parse_error_text(parsed.error()).empty(), "the error text is shown");
    return 0;
  }
  if (strict_parsed) require(tovik::json_equal(*strict_parsed, *parsed), "strict parse agrees");

  require(*outlined == parsed->is_object(), "outline_json sees the same kind of value");
  if (parsed->is_object()) {
    for (std::size_t i = 0; i < kNames.size(); ++i) {
      const std::string name(kNames[i]);
      const auto found = parsed->find(name);
      require(members[i].has_value() == (found != parsed->end()), "outline finds the members");
      if (!members[i]) continue;
      auto member = tovik::parse_json(*members[i]);
      require(member.has_value(), "an outlined member parses on its own");
      require(tovik::json_equal(*member, *found), "an outlined member equals the parsed one");
    }
  }

  const std::string compact = tovik::dump_compact(*parsed);
  auto reparsed = tovik::parse_json(compact);
  require(reparsed.has_value(), "the compact dump parses");
  require(tovik::json_equal(*reparsed, *parsed), "the compact dump keeps the value");
  require(tovik::dump_compact(*reparsed) == compact, "the compact dump is a fixed point");

  auto pretty = tovik::parse_json(tovik::dump_pretty(*parsed));
  require(pretty.has_value() && tovik::json_equal(*pretty, *parsed),
          "the pretty dump keeps the value");
  return 0;
}
