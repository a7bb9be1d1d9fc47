#include "document/stored_members.h"

#include "document/json_scan.h"

namespace tovik {

bool find_stored_members(std::string_view text, std::span<const std::string> names,
                         std::span<std::string_view> values) {
  const std::size_t start = skip_json_blanks(text, 0);
  if (start >= text.size() || text[start] != '{') return false;
  std::size_t unmet = names.size();
  if (unmet == 0) return true;
  bool empty_value = false;  // a member with nothing where its value should be
  const bool read =
      for_each_json_member(text.substr(start), [&](std::string_view name, std::string_view value) {
        if (value.empty()) {
          empty_value = true;
          return true;
        }
        for (std::size_t i = 0; i < names.size(); ++i) {
          if (values[i].data() == nullptr && name == names[i]) {
            values[i] = value;
            --unmet;
          }
        }
        return unmet == 0;
      });
  return read && !empty_value;
}

}  // namespace tovik
