// Strict UTF-8 validation (no overlongs, no surrogates, nothing above
// U+10FFFF), shared by every layer that takes text from outside.
#pragma once

#include <string_view>

namespace tovik {

bool is_valid_utf8(std::string_view bytes);

}  // namespace tovik
