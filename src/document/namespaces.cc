#include "document/namespaces.h"

#include <iterator>
#include <set>
#include <utility>

#include "document/keys.h"

namespace tovik {
namespace {

std::expected<void, DocError> check_name_and_warren(NamespaceKind kind, std::string_view name,
                                                    const SessionState& session) {
  if (!is_valid_name(name)) return std::unexpected(DocError::message(kInvalidNamespaceName));
  if (kind == NamespaceKind::Den && !session.warren) {
    return std::unexpected(DocError::message(kSelectWarrenFirst));
  }
  return {};
}

std::expected<std::string, StoreError> target_marker(NamespaceKind kind, std::string_view name,
                                                     const SessionState& session) {
  if (kind == NamespaceKind::Den) return marker_key(*session.warren, name);
  return marker_key(name, std::nullopt);
}

// Markers carry no value; one that does was not written by this layer.
std::expected<bool, StoreError> marker_exists(Store& store, std::string_view key) {
  auto value = store.get(key);
  if (!value) return std::unexpected(value.error());
  if (!*value) return false;
  if (!(*value)->empty()) return std::unexpected(StoreError::Corrupt);
  return true;
}

Json optional_text(const std::optional<std::string>& text) {
  return text ? Json(*text) : Json(nullptr);
}

std::expected<bool, StoreError> namespace_has_content(Store& store, NamespaceKind kind,
                                                      std::string_view name,
                                                      const SessionState& session) {
  if (kind == NamespaceKind::Den) {
    auto prefix = collection_prefix(*session.warren, name);
    if (!prefix) return std::unexpected(prefix.error());
    return any_key_with_prefix(store, *prefix);
  }
  auto den_markers = marker_key(name, std::nullopt);
  if (!den_markers) return std::unexpected(den_markers.error());
  den_markers->push_back('\0');
  auto has_den_marker = any_key_with_prefix(store, *den_markers);
  if (!has_den_marker || *has_den_marker) return has_den_marker;
  if (name == kDefaultWarren) {
    // The default warren's documents are exactly the plain keys.
    if (store.poisoned()) return std::unexpected(StoreError::Poisoned);
    auto cursor = store.scan_from(kFirstPlainKey);
    if (!cursor) return std::unexpected(cursor.error());
    return cursor->next();
  }
  std::string documents(kNamespacedPrefix);
  documents += name;
  documents.push_back('\0');
  return any_key_with_prefix(store, documents);
}

// The smallest names of a listing, with one more kept to tell whether any
// was left out. Names come in ascending runs (one per region of the key
// space), so a run can stop once it is past every name still kept.
class SmallestNames {
 public:
  // False when name, and so every later name of its run, cannot be kept.
  bool offer(std::string name) {
    if (names_.size() > kListingNameLimit && name >= *names_.rbegin()) return false;
    names_.insert(std::move(name));
    if (names_.size() > kListingNameLimit + 1) names_.erase(std::prev(names_.end()));
    return true;
  }

  NameList take() {
    const bool truncated = names_.size() > kListingNameLimit;
    if (truncated) names_.erase(std::prev(names_.end()));
    return NameList{std::vector<std::string>(std::make_move_iterator(names_.begin()),
                                             std::make_move_iterator(names_.end())),
                    truncated};
  }

 private:
  std::set<std::string> names_;
};

// The first record at or after from, when its key starts with prefix.
// Each call seeks through the sparse index, so a listing reads a few
// records per name rather than every record.
struct FirstRecord {
  std::string key;
  std::string value;
};
std::expected<std::optional<FirstRecord>, StoreError> first_record(Store& store,
                                                                   std::string_view from,
                                                                   std::string_view prefix = "") {
  auto cursor = store.scan_from(from);
  if (!cursor) return std::unexpected(cursor.error());
  auto more = cursor->next();
  if (!more) return std::unexpected(more.error());
  if (!*more || !cursor->key().starts_with(prefix)) return std::nullopt;
  FirstRecord record{std::string(cursor->key()), {}};
  // Only a marker's value is looked at (it must be empty).
  if (is_marker_key(record.key)) record.value = cursor->value();
  return record;
}

// The smallest key after `group` and every key that extends it by a zero
// byte: where the next name of a listing begins.
std::string past_group(std::string_view group) {
  std::string key(group);
  key.push_back('\x01');
  return key;
}

// Every warren: those with a marker, those of namespaced documents, and the
// default warren when a plain key exists. The walk meets the first key of
// each warren's group and every key between the groups, so a key under the
// zero byte that is neither a marker nor a namespaced key is corruption.
std::expected<NameList, DocError> list_warrens(Store& store) {
  SmallestNames names;
  std::string from;
  for (;;) {
    auto record = first_record(store, from);
    if (!record) return std::unexpected(record.error());
    if (!*record) break;
    const std::string& key = (*record)->key;
    const bool marker = is_marker_key(key);
    if (!marker && key.front() != '\0') {
      // Plain keys, the default warren's documents, are the last region.
      if (!decode_document_key(key)) return std::unexpected(StoreError::Corrupt);
      names.offer(std::string(kDefaultWarren));
      break;
    }
    std::string warren;
    if (marker) {
      auto decoded = decode_marker_key(key, (*record)->value);
      if (!decoded) return std::unexpected(decoded.error());
      warren = std::move(decoded->warren);
    } else {
      auto decoded = decode_document_key(key);
      if (!decoded) return std::unexpected(decoded.error());
      warren = std::move(decoded->warren);
    }
    const std::string_view region = marker ? kMarkerPrefix : kNamespacedPrefix;
    // Past the names kept, the rest of this region is passed over.
    from = names.offer(warren) ? past_group(std::string(region) + warren)
                               : past_group(region.substr(0, region.size() - 1));
  }
  return names.take();
}

// Offers the name of each group of keys that start with region, from `from`
// on: name_of decodes it from the group's first record, and the group is
// the keys that extend region + name by a zero byte.
template <typename NameOf>
std::expected<void, StoreError> offer_groups(Store& store, std::string from,
                                             std::string_view region, SmallestNames& names,
                                             NameOf&& name_of) {
  for (;;) {
    auto record = first_record(store, from, region);
    if (!record) return std::unexpected(record.error());
    if (!*record) return {};
    auto name = name_of(**record);
    if (!name) return std::unexpected(name.error());
    std::string group(region);
    group += *name;
    if (!names.offer(std::move(*name))) return {};
    from = past_group(group);
  }
}

// The dens of warren: its den markers, and the dens its documents are in.
std::expected<NameList, DocError> list_dens(Store& store, std::string_view warren) {
  SmallestNames names;
  std::string markers(kMarkerPrefix);
  markers += warren;
  markers.push_back('\0');
  auto marked =
      offer_groups(store, markers, markers, names,
                   [](const FirstRecord& record) -> std::expected<std::string, StoreError> {
                     auto marker = decode_marker_key(record.key, record.value);
                     if (!marker) return std::unexpected(marker.error());
                     if (!marker->den) return std::unexpected(StoreError::Corrupt);
                     return std::move(*marker->den);
                   });
  if (!marked) return std::unexpected(marked.error());
  const auto den_of = [](const FirstRecord& record) -> std::expected<std::string, StoreError> {
    auto name = decode_document_key(record.key);
    if (!name) return std::unexpected(name.error());
    return std::move(name->den);
  };
  std::expected<void, StoreError> held;
  if (warren == kDefaultWarren) {
    held = offer_groups(store, std::string(kFirstPlainKey), "", names, den_of);
  } else {
    std::string documents(kNamespacedPrefix);
    documents += warren;
    documents.push_back('\0');
    held = offer_groups(store, documents, documents, names, den_of);
  }
  if (!held) return std::unexpected(held.error());
  return names.take();
}

std::expected<NameList, DocError> list_namespace_names(Store& store, ListingKind kind,
                                                       const SessionState& session) {
  if (store.poisoned()) return std::unexpected(StoreError::Poisoned);
  if (kind == ListingKind::Warrens) return list_warrens(store);
  if (!session.warren) return std::unexpected(DocError::message(kSelectWarrenWithUse));
  return list_dens(store, *session.warren);
}

std::expected<NameList, DocError> list_den_ids(Store& store, const SessionState& session) {
  if (!session.warren) return std::unexpected(DocError::message(kSelectWarrenFirst));
  if (!session.den) return std::unexpected(DocError::message(kSelectDenWithUse));
  auto prefix = collection_prefix(*session.warren, *session.den);
  if (!prefix) return std::unexpected(prefix.error());
  auto cursor = store.scan_from(*prefix);
  if (!cursor) return std::unexpected(cursor.error());
  NameList ids;
  for (;;) {
    auto more = cursor->next();
    if (!more) return std::unexpected(more.error());
    if (!*more || !cursor->key().starts_with(*prefix)) break;
    if (ids.names.size() == kListingNameLimit) {
      ids.truncated = true;
      break;
    }
    auto name = decode_document_key(cursor->key());
    if (!name) return std::unexpected(name.error());
    ids.names.push_back(std::move(name->id));
  }
  return ids;
}

// Walks every plain key and hands each distinct den name, in key order, to
// visit.
template <typename Visit>
std::expected<void, DocError> for_each_default_den(Store& store, Visit&& visit) {
  if (store.poisoned()) return std::unexpected(StoreError::Poisoned);
  auto cursor = store.scan_from(kFirstPlainKey);
  if (!cursor) return std::unexpected(cursor.error());
  std::optional<std::string> previous;
  for (;;) {
    auto more = cursor->next();
    if (!more) return std::unexpected(more.error());
    if (!*more) return {};
    auto name = decode_document_key(cursor->key());
    if (!name) return std::unexpected(name.error());
    if (previous == name->den) continue;
    previous = name->den;
    visit(name->den);
  }
}

// Appends a delete of every record whose key starts with prefix, in key
// order, each checked as `check` says (false: Corrupt); returns how many.
template <typename Check>
std::expected<std::uint64_t, StoreError> delete_prefixed(Store& store, std::string_view from,
                                                         std::string_view prefix,
                                                         std::vector<Mutation>& deletes,
                                                         Check&& check) {
  auto cursor = store.scan_from(from);
  if (!cursor) return std::unexpected(cursor.error());
  std::uint64_t count = 0;
  for (;;) {
    auto more = cursor->next();
    if (!more) return std::unexpected(more.error());
    if (!*more || !cursor->key().starts_with(prefix)) return count;
    if (!check(cursor->key(), cursor->value())) return std::unexpected(StoreError::Corrupt);
    deletes.push_back(Mutation{std::string(cursor->key()), std::nullopt});
    ++count;
  }
}

// The deletes that empty a namespace, in ascending key order (markers sort
// before namespaced keys, which sort before plain keys), and how many of
// them are documents.
struct NamespaceContent {
  std::vector<Mutation> deletes;
  std::uint64_t documents = 0;
};

std::expected<NamespaceContent, StoreError> namespace_content(Store& store, NamespaceKind kind,
                                                              std::string_view name,
                                                              const SessionState& session) {
  NamespaceContent content;
  auto marker = target_marker(kind, name, session);
  if (!marker) return std::unexpected(marker.error());
  auto exists = marker_exists(store, *marker);
  if (!exists) return std::unexpected(exists.error());
  if (*exists) content.deletes.push_back(Mutation{*marker, std::nullopt});
  std::string documents;
  if (kind == NamespaceKind::Den) {
    auto prefix = collection_prefix(*session.warren, name);
    if (!prefix) return std::unexpected(prefix.error());
    documents = std::move(*prefix);
  } else {
    const std::string den_markers = *marker + '\0';
    auto dens = delete_prefixed(store, den_markers, den_markers, content.deletes,
                                [](std::string_view key, std::string_view value) {
                                  auto decoded = decode_marker_key(key, value);
                                  return decoded && decoded->den.has_value();
                                });
    if (!dens) return std::unexpected(dens.error());
    documents = std::string(kNamespacedPrefix) + std::string(name) + '\0';
  }
  // The default warren's documents are exactly the plain keys.
  const bool plain = kind == NamespaceKind::Warren && name == kDefaultWarren;
  std::string decoded_prefix;  // see document_id_of
  auto count = delete_prefixed(store, plain ? kFirstPlainKey : documents, plain ? "" : documents,
                               content.deletes, [&](std::string_view key, std::string_view) {
                                 return document_id_of(key, decoded_prefix).has_value();
                               });
  if (!count) return std::unexpected(count.error());
  content.documents = *count;
  return content;
}

}  // namespace

void leave_dropped(NamespaceKind kind, std::string_view name, SessionState& session) {
  if (kind == NamespaceKind::Warren && session.warren == name) {
    session.warren.reset();
    session.den.reset();
  } else if (kind == NamespaceKind::Den && session.den == name) {
    session.den.reset();
  }
}

std::expected<bool, StoreError> any_key_with_prefix(Store& store, std::string_view prefix) {
  auto cursor = store.scan_from(prefix);
  if (!cursor) return std::unexpected(cursor.error());
  auto more = cursor->next();
  if (!more) return std::unexpected(more.error());
  return *more && cursor->key().starts_with(prefix);
}

std::expected<Json, DocError> create_namespace(Store& store, NamespaceKind kind,
                                               std::string_view name, const SessionState& session) {
  auto checked = check_name_and_warren(kind, name, session);
  if (!checked) return std::unexpected(checked.error());
  auto target = target_marker(kind, name, session);
  if (!target) return std::unexpected(target.error());
  std::vector<std::string> keys{std::move(*target)};
  if (kind == NamespaceKind::Den) {
    auto parent = marker_key(*session.warren, std::nullopt);
    if (!parent) return std::unexpected(parent.error());
    keys.push_back(std::move(*parent));
  }
  std::vector<Mutation> batch;
  for (auto& key : keys) {
    auto exists = marker_exists(store, key);
    if (!exists) return std::unexpected(exists.error());
    if (!*exists) batch.push_back(Mutation{std::move(key), std::string()});
  }
  // The warren marker is a prefix of its den markers, so it goes first.
  if (batch.size() == 2) std::swap(batch[0], batch[1]);
  auto applied = store.apply(batch);
  if (!applied) return std::unexpected(applied.error());
  return Json{{"created", std::string(name)}};
}

std::expected<Json, DocError> drop_empty_namespace(Store& store, NamespaceKind kind,
                                                   std::string_view name, SessionState& session) {
  auto checked = check_name_and_warren(kind, name, session);
  if (!checked) return std::unexpected(checked.error());
  auto marker = target_marker(kind, name, session);
  if (!marker) return std::unexpected(marker.error());
  auto has_content = namespace_has_content(store, kind, name, session);
  if (!has_content) return std::unexpected(has_content.error());
  if (*has_content) return std::unexpected(DocError::message(kNamespaceNotEmpty));
  auto exists = marker_exists(store, *marker);
  if (!exists) return std::unexpected(exists.error());
  if (!*exists) return std::unexpected(DocError::message(kNamespaceDoesNotExist));
  const Mutation drop{std::move(*marker), std::nullopt};
  auto applied = store.apply(std::span<const Mutation>(&drop, 1));
  if (!applied) return std::unexpected(applied.error());

  leave_dropped(kind, name, session);
  return Json{{"dropped", std::string(name)},
              {"warren", optional_text(session.warren)},
              {"den", optional_text(session.den)}};
}

std::expected<NameList, DocError> list_names(Store& store, ListingKind kind,
                                             const SessionState& session) {
  if (kind == ListingKind::Shinies) return list_den_ids(store, session);
  return list_namespace_names(store, kind, session);
}

std::expected<NameList, DocError> list_collections(Store& store) {
  NameList listing;
  std::size_t bytes_used = 0;
  auto walked = for_each_default_den(store, [&](const std::string& den) {
    const std::size_t length = json_string_literal_length(den);
    if (listing.names.size() >= kCollectionsCountLimit ||
        length >= kCollectionsByteLimit - bytes_used) {
      listing.truncated = true;
      return;
    }
    bytes_used += length;
    listing.names.push_back(den);
  });
  if (!walked) return std::unexpected(walked.error());
  return listing;
}

std::expected<std::vector<std::string>, DocError> list_all_collections(Store& store) {
  std::vector<std::string> names;
  auto walked = for_each_default_den(store, [&](const std::string& den) { names.push_back(den); });
  if (!walked) return std::unexpected(walked.error());
  return names;
}

std::expected<Json, DocError> drop_namespace(Store& store, NamespaceKind kind,
                                             std::string_view name, SessionState& session) {
  auto checked = check_name_and_warren(kind, name, session);
  if (!checked) return std::unexpected(checked.error());
  if (store.poisoned()) return std::unexpected(StoreError::Poisoned);
  auto content = namespace_content(store, kind, name, session);
  if (!content) return std::unexpected(content.error());
  if (content->deletes.empty()) return std::unexpected(DocError::message(kNamespaceDoesNotExist));
  auto applied = store.apply_bulk(content->deletes);
  if (!applied) return std::unexpected(applied.error());

  leave_dropped(kind, name, session);
  return Json{{"dropped", std::string(name)}, {"shinies", content->documents}};
}

}  // namespace tovik
