// Dotted paths ("dims.w"): the steps through nested objects that filters,
// projections, sorts, distinct and update operators name. A path is one or
// more non-empty steps joined by '.'; a step is any other text. Pure.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace tovik {

enum class PathFault : std::uint8_t { Empty, EmptyStep };

// The steps of path, or what is wrong with it; each caller words the
// refusal its own way.
[[nodiscard]] std::expected<std::vector<std::string>, PathFault> split_dotted_path(
    std::string_view path);

// split_dotted_path refused as queries refuse a path: "empty path",
// "empty step in path <path>".
[[nodiscard]] std::expected<std::vector<std::string>, std::string> split_query_path(
    std::string_view path);

}  // namespace tovik
