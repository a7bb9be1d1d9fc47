// The scanner's loops over whole values; see json_scan.h.
#include "document/json_scan.h"

#include <algorithm>

#include "document/json.h"

namespace tovik {

std::string_view decode_json_string(std::string_view text, std::string& scratch) {
  auto decoded = parse_json(text);
  scratch = decoded && decoded->is_string() ? decoded->get<std::string>() : std::string();
  return scratch;
}

BracketScan scan_brackets(std::string_view json) {
  BracketScan scan;
  std::size_t pos = 0;
  while (pos < json.size()) {
    const char c = json[pos];
    if (c == '"') {
      pos = json_string_end(json, pos);
      if (pos == kJsonScanEnd) {
        scan.in_string = true;  // nothing after an open quote counts
        return scan;
      }
      continue;
    }
    if (c == '{' || c == '[') {
      scan.deepest = std::max(scan.deepest, ++scan.depth);
    } else if (c == '}' || c == ']') {
      if (scan.depth == 0) {
        scan.over_closed = true;
        return scan;
      }
      --scan.depth;
    }
    ++pos;
  }
  return scan;
}

std::size_t first_value_end(std::string_view text) {
  if (text.empty()) return 0;
  if (text.front() != '{' && text.front() != '[') {
    const std::size_t blank = text.find_first_of(" \t");
    return blank == std::string_view::npos ? text.size() : blank;
  }
  return std::min(json_value_end(text, 0), text.size());
}

}  // namespace tovik
