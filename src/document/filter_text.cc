// Reading a filter from text: the one reader with an observer that stops at
// nothing short of the first repeated key, wherever it sits.
#include <optional>
#include <string>
#include <vector>

#include "document/filter.h"

namespace tovik {
namespace {

class FirstRepeat final : public JsonReadObserver {
 public:
  std::size_t watched_depth() const override { return kMaxJsonDepth; }
  void repeated_key(std::span<const std::string> path, std::string_view key) override {
    if (!message) message = repeated_filter_key_message(path, key);
  }
  void wide_integer() override {}

  std::optional<std::string> message;
};

}  // namespace

std::string repeated_filter_key_message(std::span<const std::string> path, std::string_view key) {
  std::string text = "repeated key " + std::string(key) + " in filter at ";
  if (path.empty()) return text + "top level";
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (i > 0) text += '.';
    text += path[i];
  }
  return text;
}

std::expected<Json, FilterTextError> parse_filter_text(std::string_view text) {
  FirstRepeat repeat;
  JsonParseOptions options;
  options.observer = &repeat;
  auto value = parse_json(text, options);
  if (!value) return std::unexpected(FilterTextError{std::move(value.error()), {}});
  if (repeat.message) return std::unexpected(FilterTextError{std::nullopt, *repeat.message});
  return std::move(*value);
}

}  // namespace tovik
