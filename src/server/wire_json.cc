// Text to value for wire messages: the one JSON reader with the wire's
// options, and an observer that turns what it reports into the records the
// typed decoders consult.
#include "server/wire_json.h"

#include <span>
#include <utility>

namespace tovik::server {

namespace {

class MessageObserver final : public JsonReadObserver {
 public:
  explicit MessageObserver(ParsedMessage& message) : message_(message) {}

  // Every depth: the first repeat is kept wherever it is (the path costs
  // the reader nothing until a key repeats).
  std::size_t watched_depth() const override { return kMaxJsonDepth; }

  void repeated_key(std::span<const std::string> path, std::string_view key) override {
    if (!message_.first_repeated_key) {
      message_.first_repeated_key.emplace(path.begin(), path.end());
      message_.first_repeated_key->emplace_back(key);
    }
    if (path.size() >= kClosedTypeDepth) return;  // inside an any-value field
    WirePath at(path.begin(), path.end());
    message_.objects_with_duplicates.insert(at);
    at.emplace_back(key);
    message_.duplicated_keys.insert(std::move(at));
  }

  void wide_integer() override { message_.integer_out_of_range = true; }

 private:
  ParsedMessage& message_;
};

}  // namespace

std::expected<ParsedMessage, std::string> parse_message(std::string_view body,
                                                        std::size_t max_depth) {
  ParsedMessage message;
  MessageObserver observer(message);
  JsonParseOptions options;
  options.max_depth = max_depth;
  // The number still decodes; a write refuses it, other commands ignore it.
  options.wide_integers_as_float = true;
  options.observer = &observer;
  auto root = parse_json(body, options);
  if (!root) return std::unexpected(json_parse_error_text(root.error()));
  message.root = std::move(*root);
  return message;
}

}  // namespace tovik::server
