// The executor: one command of one session against the store.
//
// Every command first tests its own preconditions, in the order the
// protocol promises, and only then touches the store, so a session that
// stands in the wrong place learns that before it learns anything about
// the store's health. The session state is written last, after the
// operation succeeded.
#include "server/dispatch.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>
#include <variant>

#include "document/distinct.h"
#include "document/documents.h"
#include "document/filtered_writes.h"
#include "document/keys.h"
#include "document/queries.h"
#include "document/sort_order.h"
#include "document/sorted_query.h"
#include "document/usage.h"
#include "server/online_backup.h"

namespace tovik::server {

namespace {

ExecuteResult fail(std::string_view message) { return std::unexpected(std::string(message)); }

ExecuteResult from(std::expected<Json, DocError> result) {
  if (!result) return std::unexpected(result.error().text());
  return std::move(*result);
}

// A typed result in its wire form, through the protocol's encoder for it.
template <typename T, typename Encode>
ExecuteResult from(const std::expected<T, DocError>& result, Encode&& encode) {
  if (!result) return std::unexpected(result.error().text());
  return encode(*result);
}

ExecuteResult listing(Store& store, ListingKind kind, const SessionState& session) {
  return from(list_names(store, kind, session),
              [kind](const NameList& names) { return listing_data(kind, names); });
}

// navigate: "/" and ".." move up; otherwise one or two names, absolute or
// relative to the current warren.
ExecuteResult run_navigate(SessionState& session, std::string_view path) {
  if (path == "/") {
    session = SessionState{};
    return position_data(session);
  }
  if (path == "..") {
    if (session.den) {
      session.den.reset();
    } else {
      session.warren.reset();
    }
    return position_data(session);
  }
  const bool absolute = path.starts_with('/');
  if (absolute) path.remove_prefix(1);
  const std::size_t slash = path.find('/');
  const std::string_view first = path.substr(0, slash);
  std::optional<std::string_view> second;
  if (slash != std::string_view::npos) second = path.substr(slash + 1);
  // A second part that still holds a slash fails the name rule, so deeper
  // paths are refused here as well.
  if (!is_valid_name(first) || (second && !is_valid_name(*second))) {
    return fail(kInvalidNavigateName);
  }
  if (!absolute && !second && session.warren) {
    session.den = std::string(first);
  } else {
    session.warren = std::string(first);
    session.den = second ? std::optional<std::string>(std::string(*second)) : std::nullopt;
  }
  return position_data(session);
}

// The den a document command works in, with its warren ("default" when a
// den was somehow selected without one).
struct Place {
  std::string_view warren;
  std::string_view den;
};

std::optional<Place> current_den(const SessionState& session) {
  if (!session.den) return std::nullopt;
  return Place{session.warren ? std::string_view(*session.warren) : kDefaultWarren, *session.den};
}

// Runs a command that needs a selected den.
template <typename Operation>
ExecuteResult in_den(const SessionState& session, Operation&& operation) {
  const std::optional<Place> place = current_den(session);
  if (!place) return fail(kSelectCollection);
  return from(operation(*place));
}

// The same for the queries, whose typed results go through encode.
template <typename Operation, typename Encode>
ExecuteResult query_in_den(const SessionState& session, Operation&& operation, Encode&& encode) {
  const std::optional<Place> place = current_den(session);
  if (!place) return fail(kSelectCollection);
  return from(operation(*place), encode);
}

// Whether a null (or absent) filter selects every document, or is refused
// as any filter that is not an object.
enum class NullFilter : bool { Refused, Everything };

// The compiled filter of a command that carries one. A key repeated in the
// filter fails with the decoder's words for it.
std::expected<QueryFilter, std::string> command_filter(const Json& filter,
                                                       const std::optional<std::string>& refusal,
                                                       NullFilter null = NullFilter::Refused) {
  if (refusal) return std::unexpected(*refusal);
  if (null == NullFilter::Everything && filter.is_null()) return QueryFilter::everything();
  auto compiled = QueryFilter::compile(filter);
  if (!compiled) return std::unexpected(compiled.error().text());
  return std::move(*compiled);
}

// A number field of changes: its default when null, nullopt unless an
// integer from 0 to max.
std::optional<std::uint64_t> whole_number(const Json& value, std::uint64_t otherwise,
                                          std::uint64_t max) {
  if (value.is_null()) return otherwise;
  if (!value.is_number_integer()) return std::nullopt;
  if (!value.is_number_unsigned() && value.get<std::int64_t>() < 0) return std::nullopt;
  const auto number = value.get<std::uint64_t>();
  if (number > max) return std::nullopt;
  return number;
}

// The den a filtering command works in and its compiled filter, refused in
// that order (a session in the wrong place learns that first).
struct FilteredDen {
  Place place;
  QueryFilter filter;
};
template <typename FilteringCommand>
std::expected<FilteredDen, std::string> filtered_den(const SessionState& session,
                                                     const FilteringCommand& c,
                                                     NullFilter null = NullFilter::Refused) {
  const std::optional<Place> place = current_den(session);
  if (!place) return std::unexpected(std::string(kSelectCollection));
  auto filter = command_filter(c.filter, c.filter_refusal, null);
  if (!filter) return std::unexpected(std::move(filter.error()));
  return FilteredDen{*place, std::move(*filter)};
}

// An unsorted page that first passes over `skip` matches in id order: the
// walk goes from page to page of ids (each bounded as every page is) to
// the skip-th match, whose id is then the page's cursor. examined counts
// the records of every step.
std::expected<PageResult, DocError> skipped_query_page(Store& store, Place p,
                                                       const QueryFilter& filter,
                                                       const Projection* fields, std::uint64_t skip,
                                                       std::uint64_t limit) {
  if (limit < 1 || limit > kMaxPageSize) return std::unexpected(StoreError::Invalid);
  auto ids_only = Projection::compile(std::span<const std::string>{});
  if (!ids_only) return std::unexpected(ids_only.error());
  std::optional<std::string> cursor;
  std::uint64_t examined = 0;
  while (skip > 0) {
    auto passed =
        query_page(store, p.warren, p.den, filter, &*ids_only,
                   std::min<std::uint64_t>(skip, kMaxPageSize), cursor, kResponseDocumentBytes);
    if (!passed) return std::unexpected(passed.error());
    examined += passed->examined;
    skip -= passed->documents.size();
    if (!passed->next_after) return PageResult{{}, std::nullopt, examined};
    cursor = std::move(passed->next_after);
  }
  auto page =
      query_page(store, p.warren, p.den, filter, fields, limit, cursor, kResponseDocumentBytes);
  if (page) page->examined += examined;
  return page;
}

// One overload per command; std::visit keeps the set exhaustive.
struct Executor {
  Store& store;
  SessionState& session;
  std::uint64_t max_document_bytes;
  const Command& command;
  const OperatorContext* context;

  ExecuteResult operator()(const Create& c) const {
    return from(create_namespace(store, c.kind, c.name, session));
  }
  ExecuteResult operator()(const DropEmpty& c) const {
    return drop(drop_empty_namespace, c.kind, c.name);
  }
  ExecuteResult operator()(const Navigate& c) const { return run_navigate(session, c.name); }
  ExecuteResult operator()(const Warrens&) const {
    return listing(store, ListingKind::Warrens, session);
  }
  ExecuteResult operator()(const Dens&) const {
    if (!session.warren) return fail(kSelectWarrenWithUse);
    return listing(store, ListingKind::Dens, session);
  }
  ExecuteResult operator()(const Shinies&) const {
    if (!session.warren) return fail(kSelectWarrenFirst);
    if (!session.den) return fail(kSelectDenWithUse);
    return listing(store, ListingKind::Shinies, session);
  }
  ExecuteResult operator()(const Auth&) const { return fail(kAlreadyAuthenticated); }
  ExecuteResult operator()(const Use& c) const {
    if (!is_valid_collection_name(c.collection)) return fail(kInvalidCollectionName);
    session.warren = std::string(kDefaultWarren);
    session.den = c.collection;
    return collection_data(c.collection);
  }
  ExecuteResult operator()(const Collections&) const {
    return from(list_collections(store), collections_data);
  }
  ExecuteResult operator()(const Put&) const { return write(); }
  ExecuteResult operator()(const Insert&) const { return write(); }
  ExecuteResult operator()(const Update&) const { return write(); }
  ExecuteResult operator()(const Page& c) const {
    return query_in_den(
        session,
        [&](Place p) {
          return page_documents(store, p.warren, p.den, c.limit, c.after, c.filter,
                                kResponseDocumentBytes);
        },
        page_data);
  }
  ExecuteResult operator()(const Get& c) const {
    return in_den(session, [&](Place p) -> std::expected<Json, DocError> {
      auto document = get_document(store, p.warren, p.den, c.id);
      if (!document) return std::unexpected(document.error());
      return document->has_value() ? std::move(**document) : Json(nullptr);
    });
  }
  ExecuteResult operator()(const Delete&) const { return write(); }
  ExecuteResult operator()(const Find& c) const {
    return query_in_den(
        session,
        [&](Place p) {
          return query_documents(store, p.warren, p.den, Filter{c.field, c.value},
                                 kResponseDocumentBytes);
        },
        query_data);
  }
  ExecuteResult operator()(const Scan&) const {
    return query_in_den(
        session,
        [&](Place p) {
          return query_documents(store, p.warren, p.den, std::nullopt, kResponseDocumentBytes);
        },
        query_data);
  }
  ExecuteResult operator()(const Stats&) const {
    // Counters only, no record is read: this works on a poisoned store.
    return stats_data(store.stats());
  }
  ExecuteResult operator()(const Check&) const {
    auto checked = check_documents(store);
    if (!checked) return fail(store_error_text(checked.error()));
    return valid_data();
  }
  ExecuteResult operator()(const Quit&) const { return bye_data(); }
  ExecuteResult operator()(const Write&) const { return write(); }
  ExecuteResult operator()(const Backup& c) const {
    static const OperatorContext kNone;
    const OperatorContext& operating = context != nullptr ? *context : kNone;
    FileSystem& fs = operating.file_system != nullptr ? *operating.file_system : real_file_system();
    auto copied = backup_served_database(store, operating.backup_dir, c.name, fs);
    if (!copied) return std::unexpected(std::move(copied.error()));
    return backup_data(c.name, copied->bytes, copied->generation);
  }
  ExecuteResult operator()(const Usage&) const {
    return from(measure_usage(store), [](const UsageReport& report) { return usage_data(report); });
  }
  ExecuteResult operator()(const Server&) const {
    if (context == nullptr || !context->figures) return fail(kNoServerStatus);
    return server_data(context->figures());
  }

  // A document write alone: a batch of its own, committed at once.
  ExecuteResult write() const {
    WriteBatch batch(store, max_document_bytes);
    ExecuteResult staged = stage_document_write(batch, session, command);
    if (!staged) return staged;
    auto committed = batch.commit();
    if (!committed) return fail(store_error_text(committed.error()));
    complete_document_write(*staged, command, store.generation());
    return staged;
  }
  // Without sort, the page is in id order after the id in after, as ever;
  // with sort, in that order after the cursor in after. skip passes over
  // matches on the first page only (a cursor carries its position).
  ExecuteResult operator()(const Query& c) const {
    auto den = filtered_den(session, c);
    if (!den) return std::unexpected(std::move(den.error()));
    const Place& place = den->place;
    const QueryFilter& filter = den->filter;
    std::optional<Projection> fields;
    if (c.fields) {
      auto projection = Projection::compile(*c.fields);
      if (!projection) return fail(projection.error().text());
      fields = std::move(*projection);
    }
    const Projection* projection = fields ? &*fields : nullptr;
    const std::uint64_t skip = c.skip.value_or(0);
    if (skip > kMaxSkip) return fail(kSkipOutOfRange);
    if (c.sort) {
      auto order = SortOrder::compile(*c.sort);
      if (!order) return std::unexpected(std::move(order.error()));
      return from(sorted_query_page(store, place.warren, place.den, filter, *order, projection,
                                    skip, c.limit, c.after, kResponseDocumentBytes),
                  page_data);
    }
    if (skip > 0 && !c.after) {
      return from(skipped_query_page(store, place, filter, projection, skip, c.limit), page_data);
    }
    return from(query_page(store, place.warren, place.den, filter, projection, c.limit, c.after,
                           kResponseDocumentBytes),
                page_data);
  }
  ExecuteResult operator()(const UpdateMany& c) const {
    auto den = filtered_den(session, c);
    if (!den) return std::unexpected(std::move(den.error()));
    return from(update_many(store, den->place.warren, den->place.den, den->filter, c.update,
                            max_document_bytes),
                update_many_data);
  }
  ExecuteResult operator()(const DeleteMany& c) const {
    auto den = filtered_den(session, c);
    if (!den) return std::unexpected(std::move(den.error()));
    return from(delete_many(store, den->place.warren, den->place.den, den->filter),
                delete_many_data);
  }
  ExecuteResult operator()(const Distinct& c) const {
    auto den = filtered_den(session, c, NullFilter::Everything);
    if (!den) return std::unexpected(std::move(den.error()));
    return from(distinct_values(store, den->place.warren, den->place.den, den->filter, c.path,
                                kResponseDocumentBytes),
                distinct_data);
  }
  ExecuteResult operator()(const Drop& c) const { return drop(drop_namespace, c.kind, c.name); }
  ExecuteResult operator()(const Changes&) const { return fail(kNoChangeFeed); }
  ExecuteResult operator()(const Count& c) const {
    auto den = filtered_den(session, c);
    if (!den) return std::unexpected(std::move(den.error()));
    return from(count_documents(store, den->place.warren, den->place.den, den->filter), count_data);
  }

  // drop_empty and drop work on a copy of the session, which moves only
  // when the drop succeeded.
  template <typename DropFunction>
  ExecuteResult drop(DropFunction&& drop_function, NamespaceKind kind,
                     std::string_view name) const {
    SessionState next = session;
    auto dropped = drop_function(store, kind, name, next);
    if (!dropped) return std::unexpected(dropped.error().text());
    session = std::move(next);
    return std::move(*dropped);
  }
};

// Stages the single-document write a command stands for, without copying
// its document.
std::optional<std::expected<Json, DocError>> stage_single(WriteBatch& batch, Place p,
                                                          const Command& command) {
  if (const auto* c = std::get_if<Put>(&command)) {
    return batch.stage(p.warren, p.den, WriteKind::Put, c->id, c->document);
  }
  if (const auto* c = std::get_if<Insert>(&command)) {
    return batch.stage(p.warren, p.den, WriteKind::Insert, c->id, c->document);
  }
  if (const auto* c = std::get_if<Update>(&command)) {
    return batch.stage(p.warren, p.den, WriteKind::Update, c->id, c->fields);
  }
  if (const auto* c = std::get_if<Delete>(&command)) {
    return batch.stage(p.warren, p.den, WriteKind::Delete, c->id, Json());
  }
  return std::nullopt;
}

}  // namespace

std::expected<void, std::string> stage_write_ops(WriteBatch& batch, std::string_view warren,
                                                 std::string_view den,
                                                 std::span<const DocumentWrite> ops) {
  const std::size_t mark = batch.mark();
  for (std::size_t i = 0; i < ops.size(); ++i) {
    auto staged = batch.stage(warren, den, ops[i]);
    if (!staged) {
      batch.rollback(mark);
      return std::unexpected("operation " + std::to_string(i + 1) + ": " + staged.error().text());
    }
  }
  return {};
}

ExecuteResult execute(Store& store, SessionState& session, const Command& command,
                      std::uint64_t max_document_bytes, const OperatorContext* context) {
  // The document layer reports failures as values; this only guards the
  // server thread (and with it the store lock) against a library throwing
  // on input it did not expect.
  try {
    return std::visit(Executor{store, session, max_document_bytes, command, context}, command);
  } catch (const std::exception&) {
    return fail(store_error_text(StoreError::Invalid));
  }
}

bool is_document_write(const Command& command) {
  return std::holds_alternative<Put>(command) || std::holds_alternative<Insert>(command) ||
         std::holds_alternative<Update>(command) || std::holds_alternative<Delete>(command) ||
         std::holds_alternative<Write>(command);
}

ExecuteResult stage_document_write(WriteBatch& batch, const SessionState& session,
                                   const Command& command) {
  try {
    if (const auto* c = std::get_if<Write>(&command)) {
      const std::optional<Place> place = current_den(session);
      if (!place) return fail(kSelectCollection);
      if (c->ops.empty()) return fail(kWriteNeedsOperations);
      if (c->ops.size() > kMaxBatchMutations) return fail(kTooManyWriteOperations);
      auto staged = stage_write_ops(batch, place->warren, place->den, c->ops);
      if (!staged) return std::unexpected(std::move(staged.error()));
      // The generation is the commit's, filled in by complete_document_write.
      return written_data(0, c->ops.size());
    }
    return in_den(session, [&](Place p) -> std::expected<Json, DocError> {
      auto staged = stage_single(batch, p, command);
      if (!staged) return std::unexpected(StoreError::Invalid);
      return std::move(*staged);
    });
  } catch (const std::exception&) {
    return fail(store_error_text(StoreError::Invalid));
  }
}

void complete_document_write(ResponseData& data, const Command& command, std::uint64_t generation) {
  if (const auto* c = std::get_if<Write>(&command)) data = written_data(generation, c->ops.size());
}

ExecuteResult execute_changes(ChangeFeed& feed, const SessionState& session, const Changes& command,
                              std::chrono::milliseconds poll,
                              const std::function<bool()>& abandon) {
  try {
    const auto limit = whole_number(command.limit, kDefaultChangesLimit, kMaxChangesLimit);
    if (!limit || *limit < 1) return fail(kChangesLimitOutOfRange);
    const auto wait_ms = whole_number(command.wait_ms, 0, kMaxChangesWaitMs);
    if (!wait_ms) return fail(kChangesWaitOutOfRange);
    const auto after = whole_number(command.after, feed.latest(), UINT64_MAX);
    if (!after) return fail(kChangesBadAfter);
    const auto skip = whole_number(command.skip, 0, UINT64_MAX);
    if (!skip) return fail(kChangesBadSkip);
    if (!command.skip.is_null() && command.after.is_null()) return fail(kChangesSkipNeedsAfter);
    std::optional<QueryFilter> filter;
    if (command.filter_refusal || !command.filter.is_null()) {
      auto compiled = command_filter(command.filter, command.filter_refusal);
      if (!compiled) return std::unexpected(std::move(compiled.error()));
      filter = std::move(*compiled);
    }
    FeedSelection selection;
    selection.filter = filter ? &*filter : nullptr;
    selection.limit = *limit;
    selection.byte_budget = kResponseDocumentBytes;
    if (const std::optional<Place> place = current_den(session)) {
      selection.scope = FeedScope{std::string(place->warren), std::string(place->den)};
    } else if (session.warren) {
      selection.scope = FeedScope{*session.warren, std::nullopt};
    }
    FeedPosition at{*after, *skip};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(*wait_ms);
    while (true) {
      auto page = feed.read(at, selection);
      if (!page) return std::unexpected(std::move(page.error()));
      if (!page->changes.empty() || !feed.wait_beyond(page->next.after, deadline, poll, abandon)) {
        return changes_data(*page);
      }
      at = page->next;
    }
  } catch (const std::exception&) {
    return fail(store_error_text(StoreError::Invalid));
  }
}

Response to_response(const ExecuteResult& result) {
  if (result) return std::visit([](const auto& data) { return success(data); }, *result);
  return failure(kCodeOperationFailed, result.error());
}

}  // namespace tovik::server
