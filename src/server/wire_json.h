// The first pass of decoding a wire message: text to JSON value, keeping
// what the value itself cannot show.
//
// A repeated object key keeps its last value, which is right inside the
// any-value fields of a message, but closed objects must refuse it. So the
// parse also records, for objects near the root where closed types live,
// which keys were repeated, by the path of the object. The typed decoders
// (wire_reading.h) consult those records at their own level only.
//
// The text is read by the document layer's one JSON reader (parse_json),
// which reports those keys to an observer; this file only collects them.
// Internal to the server library. Pure, thread-safe, never throws.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "document/json.h"

namespace tovik::server {

// Closed types sit at most this deep: envelope (1), command or failure (2),
// a page's filter (3), the operations of a write (4, inside its "ops" array).
// Deeper objects are inside any-value fields, whose repeated keys are
// legal, so tracking stops there to keep large documents cheap.
inline constexpr std::size_t kClosedTypeDepth = 4;

// Where a value sits: object keys and array indexes (in decimal) from the
// root. A parent is either an object or an array, so an index and a key
// never compete for the same position.
using WirePath = std::vector<std::string>;

struct ParsedMessage {
  Json root;
  // Paths of objects (within kClosedTypeDepth) that repeated a key, and the
  // repeated keys themselves as the object's path followed by the key.
  std::set<WirePath> objects_with_duplicates;
  std::set<WirePath> duplicated_keys;
  // The first key repeated at any depth, as the object's path followed by
  // the key: a filter, an any-value field, refuses it in its own words.
  std::optional<WirePath> first_repeated_key;
  // An integer was written that fits neither 64-bit kind; the value holds
  // the nearest floating-point number in its place. Writes refuse it.
  bool integer_out_of_range = false;
};

// A response wraps documents in up to three levels of its own (the
// envelope, "data", "documents"), so a client reads responses with this
// much room beyond the document limit: every stored document comes back.
inline constexpr std::size_t kResponseEnvelopeDepth = 3;

// Exactly one JSON value, optionally surrounded by JSON whitespace; valid
// UTF-8; at most max_depth levels of nesting; no byte order mark. The error
// is a detail for debugging, never shown to a peer.
[[nodiscard]] std::expected<ParsedMessage, std::string> parse_message(
    std::string_view body, std::size_t max_depth = kMaxJsonDepth);

}  // namespace tovik::server
