#include "document/dotted_path.h"

namespace tovik {

std::expected<std::vector<std::string>, PathFault> split_dotted_path(std::string_view path) {
  if (path.empty()) return std::unexpected(PathFault::Empty);
  std::vector<std::string> steps;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = path.find('.', start);
    const std::string_view step = path.substr(start, dot - start);
    if (step.empty()) return std::unexpected(PathFault::EmptyStep);
    steps.emplace_back(step);
    if (dot == std::string_view::npos) return steps;
    start = dot + 1;
  }
}

std::expected<std::vector<std::string>, std::string> split_query_path(std::string_view path) {
  auto steps = split_dotted_path(path);
  if (steps) return std::move(*steps);
  if (steps.error() == PathFault::Empty) return std::unexpected(std::string("empty path"));
  return std::unexpected("empty step in path " + std::string(path));
}

}  // namespace tovik
