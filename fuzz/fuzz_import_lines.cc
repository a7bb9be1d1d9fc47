// The import line readers on any input, split at line feeds as an import
// splits it. The first byte picks the id field ("id" or "_id"). Every line a
// reader accepts must be a valid document, and its export line must read
// back as the same id and document.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "document/jsonl.h"
#include "document/keys.h"
#include "fuzz_check.h"

using tovik::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = tovik::fuzz::as_text(data, size);
  if (input.empty()) return 0;
  const std::string_view id_field = (input.front() & 1) != 0 ? "_id" : "id";
  input.remove_prefix(1);
  tovik::DocumentLineReader reader(id_field);
  tovik::DatabaseLineReader database;
  std::uint64_t number = 0;
  while (!input.empty()) {
    const std::size_t end = input.find('\n');
    const std::string_view line = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    ++number;

    auto entry = reader.read(line, number);
    if (entry && *entry) {
      const tovik::DocumentLine& doc = **entry;
      require(tovik::is_valid_document_id(doc.id), "an accepted id is valid");
      require(doc.document.is_object(), "an accepted line is an object");
      require(id_field == "id" || !doc.document.contains(id_field), "the id field is taken out");
      tovik::Json stored = doc.document;
      stored["id"] = doc.id;
      auto exported = tovik::document_export_line(tovik::dump_compact(stored), id_field);
      require(exported.has_value(), "a stored document exports");
      tovik::DocumentLineReader again(id_field);
      auto back = again.read(*exported, 1);
      require(back && *back, "an export line reads back");
      require((*back)->id == doc.id, "the id survives export");
      require(tovik::json_equal((*back)->document, doc.document), "the document survives export");
    }
    auto whole = database.read(line, number);
    if (whole && *whole) {
      require(tovik::document_key((*whole)->warren, (*whole)->den, (*whole)->id).has_value(),
              "an accepted database line names a writable key");
      require((*whole)->document.is_object(), "an accepted document is an object");
    }
  }
  return 0;
}
