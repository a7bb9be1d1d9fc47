// Text to value for wire messages, through nlohmann's SAX interface so that
// the nesting limit is enforced before any recursion and repeated keys can
// be seen while the raw text is still at hand.
#include "server/wire_json.h"

#include <exception>
#include <utility>

namespace tovik::server {

namespace {

// Builds the value as nlohmann's own DOM parser would (last key wins) and
// records repeated keys on the side.
class MessageBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  MessageBuilder(ParsedMessage& out, std::size_t max_depth) : out_(out), max_depth_(max_depth) {}

  const std::string& error() const { return error_; }

  bool null() { return scalar(Json(nullptr)); }
  bool boolean(bool value) { return scalar(Json(value)); }
  // The three number kinds stay apart: "limit" and "version" accept only
  // the unsigned kind, which the lexer gives exactly to integer literals
  // without a sign, fraction or exponent.
  bool number_integer(number_integer_t value) { return scalar(Json(value)); }
  bool number_unsigned(number_unsigned_t value) { return scalar(Json(value)); }
  // An integer literal too large for both integer kinds arrives here too.
  bool number_float(number_float_t value, const string_t& raw) {
    if (raw.find_first_of(".eE") == string_t::npos) out_.integer_out_of_range = true;
    return scalar(Json(value));
  }
  bool string(string_t& value) { return scalar(Json(std::move(value))); }
  bool binary(binary_t& /*value*/) { return fail("binary values are not JSON"); }

  bool start_object(std::size_t /*size*/) { return open(Json::object(), true); }
  bool start_array(std::size_t /*size*/) { return open(Json::array(), false); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(string_t& name) {
    Frame& frame = stack_.back();
    if (stack_.size() <= kClosedTypeDepth && !frame.seen.insert(name).second) {
      WirePath at = path_;
      out_.objects_with_duplicates.insert(at);
      at.push_back(name);
      out_.duplicated_keys.insert(std::move(at));
    }
    frame.key = std::move(name);
    return true;
  }

  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& error) {
    if (error_.empty()) error_ = error.what();
    return false;
  }

 private:
  struct Frame {
    Json* value;
    bool is_object;
    std::size_t next_index = 0;
    std::string key;
    std::set<std::string> seen;
  };

  bool fail(std::string_view message) {
    if (error_.empty()) error_ = message;
    return false;
  }

  bool scalar(Json v) {
    place(std::move(v));
    return true;
  }

  // Stores v where the parser stands and returns where it went. Pointers to
  // the open containers stay valid: a child is only ever appended to the
  // innermost container, and std::map nodes never move.
  Json* place(Json v) {
    if (stack_.empty()) {
      out_.root = std::move(v);
      return &out_.root;
    }
    Frame& frame = stack_.back();
    if (frame.is_object) {
      Json& slot = (*frame.value)[frame.key];
      slot = std::move(v);
      return &slot;
    }
    frame.value->push_back(std::move(v));
    ++frame.next_index;
    return &frame.value->back();
  }

  bool open(Json container, bool is_object) {
    if (stack_.size() >= max_depth_) return fail("nesting too deep");
    if (!stack_.empty()) {
      const Frame& parent = stack_.back();
      path_.push_back(parent.is_object ? parent.key : std::to_string(parent.next_index));
    }
    Json* where = place(std::move(container));
    stack_.push_back(Frame{where, is_object, 0, {}, {}});
    return true;
  }

  bool close() {
    stack_.pop_back();
    // The path always names the innermost open container: one part fewer
    // than open containers.
    if (!path_.empty()) path_.pop_back();
    return true;
  }

  ParsedMessage& out_;
  std::size_t max_depth_;
  std::vector<Frame> stack_;
  WirePath path_;  // path of the innermost open container
  std::string error_;
};

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

}  // namespace

std::expected<ParsedMessage, std::string> parse_message(std::string_view body,
                                                        std::size_t max_depth) {
  // The parser would skip a byte order mark; a message is a bare JSON value.
  if (body.starts_with(kUtf8Bom)) return std::unexpected(std::string("byte order mark"));
  ParsedMessage message;
  MessageBuilder builder(message, max_depth);
  bool ok = false;
  try {
    ok = Json::sax_parse(body.begin(), body.end(), &builder);
  } catch (const std::exception& error) {
    return std::unexpected(std::string(error.what()));
  } catch (...) {
    return std::unexpected(std::string("unreadable message"));
  }
  if (!ok) {
    return std::unexpected(builder.error().empty() ? std::string("malformed JSON")
                                                   : builder.error());
  }
  return message;
}

}  // namespace tovik::server
