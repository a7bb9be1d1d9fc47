#include "document/sort_order.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <new>
#include <utility>

#include "document/dotted_path.h"
#include "document/keys.h"
#include "document/stored_members.h"

namespace tovik {
namespace {

// ---------------------------------------------------------------------------
// Values from stored text, decoding only what the text cannot settle.

// Requires: raw is one valid JSON value as outline_json hands out. Only
// escaped strings and containers are decoded by the reader (and text the
// number reading refuses, which is damaged); value's string keeps its room.
void value_of_text(std::string_view raw, SortValue& value) {
  value.rank = SortValue::Rank::Null;
  switch (raw.front()) {
    case 'n':
      return;
    case 't':
    case 'f':
      value.rank = SortValue::Rank::Boolean;
      value.truth = raw.front() == 't';
      return;
    case '"':
      if (raw.find('\\') != std::string_view::npos) break;
      value.rank = SortValue::Rank::String;
      value.text.assign(raw.substr(1, raw.size() - 2));
      return;
    case '{':
    case '[':
      break;
    default:
      value.rank = SortValue::Rank::Number;
      value.number = JsonNumber();
      if (read_json_number(raw, value.number)) return;
      break;
  }
  auto parsed = parse_json(raw);
  value = parsed ? SortValue::of(&*parsed) : SortValue{};
}

// The value at the steps below value, through objects only; nullptr when
// a step is missing or meets anything but an object.
const Json* descend(const Json* value, std::span<const std::string> steps) {
  for (const std::string& step : steps) {
    if (!value->is_object()) return nullptr;
    const auto& members = *value->get_ptr<const Json::object_t*>();
    const auto found = members.find(step);
    if (found == members.end()) return nullptr;
    value = &found->second;
  }
  return value;
}

// ---------------------------------------------------------------------------
// base64url without padding: cursors travel in JSON strings and shell
// lines, so they hold no quote, backslash or blank.

constexpr std::string_view kBase64 =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string base64url(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n = static_cast<std::uint8_t>(bytes[i]) << 16 |
                            static_cast<std::uint8_t>(bytes[i + 1]) << 8 |
                            static_cast<std::uint8_t>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kBase64[(n >> shift) & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t n = static_cast<std::uint8_t>(bytes[i]) << 16;
    if (rest == 2) n |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
    out.push_back(kBase64[(n >> 18) & 63]);
    out.push_back(kBase64[(n >> 12) & 63]);
    if (rest == 2) out.push_back(kBase64[(n >> 6) & 63]);
  }
  return out;
}

std::optional<std::string> from_base64url(std::string_view text) {
  std::array<int, 256> digit;
  digit.fill(-1);
  for (std::size_t i = 0; i < kBase64.size(); ++i) {
    digit[static_cast<std::uint8_t>(kBase64[i])] = static_cast<int>(i);
  }
  if (text.size() % 4 == 1) return std::nullopt;
  std::string out;
  std::uint32_t bits = 0;
  int held = 0;
  for (const char c : text) {
    const int d = digit[static_cast<std::uint8_t>(c)];
    if (d < 0) return std::nullopt;
    bits = bits << 6 | static_cast<std::uint32_t>(d);
    held += 6;
    if (held >= 8) {
      held -= 8;
      out.push_back(static_cast<char>((bits >> held) & 0xff));
    }
  }
  return out;
}

}  // namespace

SortValue SortValue::of(const Json* value) {
  SortValue out;
  if (value == nullptr) return out;
  if (auto number = json_number_of(*value)) {
    out.rank = Rank::Number;
    out.number = *number;
    return out;
  }
  switch (value->type()) {
    case Json::value_t::string:
      out.rank = Rank::String;
      out.text = *value->get_ptr<const Json::string_t*>();
      break;
    case Json::value_t::object:
    case Json::value_t::array:
      out.rank = value->is_object() ? Rank::Object : Rank::Array;
      out.text = dump_compact(*value);
      break;
    case Json::value_t::boolean:
      out.rank = Rank::Boolean;
      out.truth = value->get<bool>();
      break;
    default:
      break;
  }
  return out;
}

std::string SortValue::json_text() const {
  switch (rank) {
    case Rank::Null:
      return "null";
    case Rank::Boolean:
      return truth ? "true" : "false";
    case Rank::String:
      return dump_compact(Json(text));
    case Rank::Object:
    case Rank::Array:
      return text;
    case Rank::Number:
      break;
  }
  if (number.form == JsonNumber::Form::Float) return dump_compact(Json(number.d));
  char digits[24];
  const auto end = number.form == JsonNumber::Form::Signed
                       ? std::to_chars(digits, digits + sizeof digits, number.i).ptr
                       : std::to_chars(digits, digits + sizeof digits, number.u).ptr;
  return std::string(digits, end);
}

int compare_sort_values(const SortValue& a, const SortValue& b) {
  if (a.rank != b.rank) return a.rank < b.rank ? -1 : 1;
  switch (a.rank) {
    case SortValue::Rank::Null:
      return 0;
    case SortValue::Rank::Number:
      return compare_json_numbers(a.number, b.number);
    case SortValue::Rank::Boolean:
      return a.truth == b.truth ? 0 : a.truth ? 1 : -1;
    default:
      break;
  }
  const int order = a.text.compare(b.text);
  return order < 0 ? -1 : order > 0 ? 1 : 0;
}

std::expected<std::vector<std::string>, std::string> split_sort_path(std::string_view path) {
  return split_query_path(path);
}

std::expected<SortOrder, std::string> SortOrder::compile(std::span<const std::string> paths) {
  if (paths.empty()) return std::unexpected(std::string(kSortEmpty));
  if (paths.size() > kMaxSortPaths) return std::unexpected(std::string(kSortTooManyPaths));
  SortOrder order;
  for (std::string_view text : paths) {
    Path path;
    if (text.starts_with('-')) {
      path.descending = true;
      text.remove_prefix(1);
    }
    auto steps = split_sort_path(text);
    if (!steps) return std::unexpected(std::move(steps.error()));
    path.steps = std::move(*steps);
    std::size_t slot = 0;
    while (slot < order.first_steps_.size() && order.first_steps_[slot] != path.steps.front()) {
      ++slot;
    }
    if (slot == order.first_steps_.size()) order.first_steps_.push_back(path.steps.front());
    path.slot = slot;
    order.paths_.push_back(std::move(path));
  }
  return order;
}

std::expected<void, StoreError> SortOrder::key_of_stored(std::string_view stored,
                                                         SortKey& key) const {
  // Only the views in use are set: this runs for every document a sorted
  // walk meets, and clearing all of them costs more than finding a member.
  union Slots {
    Slots() {}
    std::string_view views[kMaxSortPaths];
  } slots;
  const std::size_t used = first_steps_.size();
  for (std::size_t i = 0; i < used; ++i) new (&slots.views[i]) std::string_view();
  const std::span<std::string_view> raw(slots.views, used);
  if (!find_stored_members(stored, first_steps_, raw)) return std::unexpected(StoreError::Corrupt);
  key.resize(paths_.size());
  for (std::size_t i = 0; i < paths_.size(); ++i) {
    const Path& path = paths_[i];
    const std::string_view text = raw[path.slot];
    if (text.data() == nullptr) {
      key[i] = SortValue{};
    } else if (path.steps.size() == 1) {
      value_of_text(text, key[i]);
    } else {
      auto member = parse_json(text);
      if (!member) return std::unexpected(StoreError::Corrupt);
      key[i] = SortValue::of(descend(&*member, std::span(path.steps).subspan(1)));
    }
  }
  return {};
}

SortKey SortOrder::key_of(const Json& document) const {
  SortKey key;
  key.reserve(paths_.size());
  for (const Path& path : paths_) key.push_back(SortValue::of(descend(&document, path.steps)));
  return key;
}

int SortOrder::compare(const SortKey& a_key, std::string_view a_id, const SortKey& b_key,
                       std::string_view b_id) const {
  for (std::size_t i = 0; i < paths_.size(); ++i) {
    const int order = compare_sort_values(a_key[i], b_key[i]);
    if (order != 0) return paths_[i].descending ? -order : order;
  }
  const int order = a_id.compare(b_id);
  return order < 0 ? -1 : order > 0 ? 1 : 0;
}

std::string SortOrder::encode_cursor(const SortPosition& position) const {
  std::string text = "[";
  for (const SortValue& value : position.key) {
    text += value.json_text();
    text += ',';
  }
  text += dump_compact(Json(position.id));
  text += ']';
  return base64url(text);
}

std::expected<SortPosition, std::string> SortOrder::decode_cursor(std::string_view cursor) const {
  const auto refused = std::unexpected(std::string(kInvalidSortCursor));
  const auto text = from_base64url(cursor);
  if (!text) return refused;
  auto parsed = parse_json(*text);
  if (!parsed || !parsed->is_array() || parsed->size() != paths_.size() + 1) return refused;
  const Json& id = parsed->back();
  if (!id.is_string() || !is_valid_document_id(id.get_ref<const std::string&>())) return refused;
  SortPosition position;
  position.id = id.get<std::string>();
  for (std::size_t i = 0; i < paths_.size(); ++i) {
    position.key.push_back(SortValue::of(&(*parsed)[i]));
  }
  return position;
}

}  // namespace tovik
