// The data of each command's success in its wire form: small results as
// trees, and the results that carry documents written member by member with
// the documents' compact texts spliced in as the document layer hands them
// out.
#include "server/response_data.h"

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tovik::server {
namespace {

void append_bool(std::string& out, bool value) { out += value ? "true" : "false"; }

void append_string(std::string& out, std::string_view text) { out += dump_compact(Json(text)); }

// A JSON array of stored document texts, which already are compact values.
void append_documents(std::string& out, const std::vector<std::string>& documents) {
  out += '[';
  for (std::size_t i = 0; i < documents.size(); ++i) {
    if (i > 0) out += ',';
    out += documents[i];
  }
  out += ']';
}

// A JSON object written member by member, for data whose documents are
// spliced in as stored. Members must be added in ascending key order.
class ObjectText {
 public:
  explicit ObjectText(std::size_t expected_size) { out_.reserve(expected_size); }

  // Starts the member `name` and returns where its value is to be written.
  std::string& key(std::string_view name) {
    out_ += out_.empty() ? "{\"" : ",\"";
    out_ += name;
    out_ += "\":";
    return out_;
  }
  DataText finish() {
    out_ += out_.empty() ? "{}" : "}";
    return DataText(std::move(out_));
  }

 private:
  std::string out_;
};

std::size_t total_size(const std::vector<std::string>& documents) {
  std::size_t size = 0;
  for (const std::string& document : documents) size += document.size() + 1;
  return size;
}

const char* listing_kind_name(ListingKind kind) {
  switch (kind) {
    case ListingKind::Warrens:
      return "warrens";
    case ListingKind::Dens:
      return "dens";
    case ListingKind::Shinies:
      return "shinies";
  }
  return "";
}

Json names_json(const std::vector<std::string>& names) {
  Json list = Json::array();
  for (const std::string& name : names) list.push_back(name);
  return list;
}

}  // namespace

DataText query_data(const QueryResult& result) {
  ObjectText data(192 + total_size(result.documents));
  append_bool(data.key("byte_limited"), result.byte_limited);
  append_documents(data.key("documents"), result.documents);
  append_unsigned(data.key("examination_limit"), kQueryExaminationLimit);
  append_unsigned(data.key("examined"), result.examined);
  append_bool(data.key("possibly_truncated"), result.truncated);
  append_unsigned(data.key("result_limit"), kQueryResultLimit);
  return data.finish();
}

DataText page_data(const PageResult& page) {
  ObjectText data(64 + total_size(page.documents));
  append_documents(data.key("documents"), page.documents);
  append_unsigned(data.key("examined"), page.examined);
  std::string& next_after = data.key("next_after");
  if (page.next_after) {
    append_string(next_after, *page.next_after);
  } else {
    next_after += "null";
  }
  return data.finish();
}

Json listing_data(ListingKind kind, const NameList& listing) {
  Json data = Json::object();
  data["kind"] = listing_kind_name(kind);
  data["names"] = names_json(listing.names);
  data["truncated"] = listing.truncated;
  data["limit"] = static_cast<std::uint64_t>(kListingNameLimit);
  data["examination_limit"] = static_cast<std::uint64_t>(kListingExaminationLimit);
  return data;
}

Json collections_data(const NameList& listing) {
  return Json{{"collections", names_json(listing.names)}, {"truncated", listing.truncated}};
}

Json position_data(const SessionState& session) {
  const auto name = [](const std::optional<std::string>& n) {
    return n ? Json(*n) : Json(nullptr);
  };
  return Json{{"warren", name(session.warren)}, {"den", name(session.den)}};
}

Json collection_data(std::string_view collection) {
  return Json{{"collection", std::string(collection)}};
}

Json stats_data(const StoreStats& stats) {
  return Json{{"records", stats.records},
              {"live_bytes", stats.live_bytes},
              {"generation", stats.generation}};
}

Json valid_data() { return Json{{"valid", true}}; }

Json bye_data() { return Json{{"bye", true}}; }

Json backup_data(std::string_view name, std::uint64_t bytes, std::uint64_t generation) {
  return Json{{"backup", std::string(name)}, {"bytes", bytes}, {"generation", generation}};
}

Json server_data(const ServerFigures& figures) {
  Json by_op = Json::object();
  for (std::size_t i = 0; i < kCommandCount; ++i) {
    if (figures.commands_by_op[i] != 0)
      by_op[std::string(op_name_of_index(i))] = figures.commands_by_op[i];
  }
  return Json{
      {"started_at", figures.started_at},
      {"uptime_s", figures.uptime_s},
      {"clients", Json{{"connected", figures.clients_connected}, {"max", figures.clients_max}}},
      {"commands", Json{{"total", figures.commands_total},
                        {"failed", figures.commands_failed},
                        {"by_op", std::move(by_op)}}},
      {"commits", Json{{"count", figures.commits},
                       {"p50_ms", figures.commit_p50_ms},
                       {"p99_ms", figures.commit_p99_ms},
                       {"max_ms", figures.commit_max_ms}}},
      {"bytes_in", figures.bytes_in},
      {"bytes_out", figures.bytes_out},
      {"log_errors", figures.log_errors},
      {"max_request_bytes", figures.max_request_bytes},
      {"max_document_bytes", figures.max_document_bytes},
      {"feed", Json{{"changes", figures.feed.changes},
                    {"bytes", figures.feed.bytes},
                    {"oldest", figures.feed.oldest},
                    {"waiting", figures.feed.waiting}}}};
}

DataText changes_data(const ChangesPage& page) {
  std::size_t size = 64;
  for (const auto& change : page.changes) {
    size += 96 + change->warren.size() + change->den.size() + change->id.size() +
            change->document.size();
  }
  ObjectText data(size);
  std::string& out = data.key("changes");
  out += '[';
  std::string rewritten;
  for (std::size_t i = 0; i < page.changes.size(); ++i) {
    const Change& change = *page.changes[i];
    out += i > 0 ? ",{\"den\":" : "{\"den\":";
    append_string(out, change.den);
    if (change.kind == ChangeKind::Put) {
      // What this server stored is already compact; a text that is not is
      // written in the form every read hands out.
      auto text = stored_document_text(change.document, change.id, rewritten);
      out += ",\"document\":";
      out += text ? *text : std::string_view("null");
    }
    out += ",\"generation\":" + std::to_string(change.generation) + ",\"id\":";
    append_string(out, change.id);
    out += change.kind == ChangeKind::Put ? ",\"kind\":\"put\",\"warren\":"
                                          : ",\"kind\":\"delete\",\"warren\":";
    append_string(out, change.warren);
    out += '}';
  }
  out += ']';
  data.key("next") += std::to_string(page.next.after);
  if (page.next.skip > 0) data.key("skip") += std::to_string(page.next.skip);
  return data.finish();
}

Json written_data(std::uint64_t generation, std::uint64_t written) {
  return Json{{"generation", generation}, {"written", written}};
}

Json count_data(const CountResult& result) {
  return Json{
      {"complete", result.complete}, {"count", result.count}, {"examined", result.examined}};
}

Json update_many_data(const UpdateManyResult& result) {
  return Json{{"generation", result.generation},
              {"matched", result.matched},
              {"modified", result.modified}};
}

Json delete_many_data(const DeleteManyResult& result) {
  return Json{{"deleted", result.deleted}, {"generation", result.generation}};
}

Json distinct_data(const DistinctResult& result) {
  Json values = Json::array();
  for (const Json& value : result.values) values.push_back(value);
  return Json{{"truncated", result.truncated}, {"values", std::move(values)}};
}

}  // namespace tovik::server
