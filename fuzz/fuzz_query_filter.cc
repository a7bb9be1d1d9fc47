// Filters on any text: the input is a filter's text, then (after a NUL byte)
// a document's. Compiling either refuses with a message or yields a filter;
// a filter's reading of a stored document must equal its reading of the
// parsed tree, and any stored text at all, however damaged, gets an answer
// or a refusal, never a crash.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "document/filter.h"
#include "document/json.h"
#include "fuzz_check.h"

using tovik::fuzz::require;

namespace {

const std::vector<tovik::Json>& fixed_documents() {
  static const std::vector<tovik::Json> documents = [] {
    std::vector<tovik::Json> out;
    for (const char* text :
         {R"({"a":1,"b":"x","c":[1,2.5,"x",[1],{"a":2}]})",
          R"({"a":{"b":{"c":[{"d":18446744073709551615},{"d":-1.5e300}]}},"b":["x","y"]})",
          R"({"a":[],"b":{},"c":null,"d":true,"e":"caf\u00e9 \"q\"","f":9007199254740993})"}) {
      out.push_back(*tovik::parse_json(text));
    }
    return out;
  }();
  return documents;
}

void check_document(const tovik::QueryFilter& filter, tovik::Json document) {
  document["id"] = "x";
  const std::string stored = tovik::dump_compact(document);
  auto from_text = filter.matches_stored(stored, "x");
  require(from_text.has_value(), "a stored document is read");
  require(*from_text == filter.matches(document), "stored text and tree agree");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = tovik::fuzz::as_text(data, size);
  const std::size_t split = input.find('\0');
  const std::string_view filter_text = input.substr(0, split);
  const std::string_view document_text =
      split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

  auto filter_json = tovik::parse_json(filter_text);
  if (!filter_json) return 0;
  auto filter = tovik::QueryFilter::compile(*filter_json);
  if (!filter) {
    require(!filter.error().text().empty(), "a refusal says why");
    return 0;
  }
  if (const auto& start = filter->id_start(); start && !start->strict) {
    require(!filter->past_id_range(start->id) || !filter->matches(tovik::Json{{"id", start->id}}),
            "the start of the id range is not past it unless nothing can match there");
  }
  for (const tovik::Json& document : fixed_documents()) check_document(*filter, document);
  auto document = tovik::parse_json(document_text);
  if (document && document->is_object()) check_document(*filter, *document);
  // Damaged stored text: any answer will do, as long as one comes.
  (void)filter->matches_stored(document_text, "x");
  return 0;
}
