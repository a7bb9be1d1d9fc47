// Warrens and dens: creating, dropping and listing namespaces.
//
// A namespace exists explicitly, through a catalog marker record, or
// implicitly, because documents are stored under it. Listings show both;
// create_namespace and drop_empty_namespace look at the markers only.
//
// Every operation takes the Store exclusively (the caller serialises access)
// and is bounded as noted. Listings are typed results; their wire form
// belongs to the server's protocol.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/store.h"
#include "document/doc_error.h"
#include "document/json.h"

namespace tovik {

// A session's position: when a den is selected a warren is too.
struct SessionState {
  std::optional<std::string> warren;
  std::optional<std::string> den;
};

enum class NamespaceKind { Warren, Den };
enum class ListingKind { Warrens, Dens, Shinies };

inline constexpr std::size_t kListingNameLimit = 100;
// Reported with every listing; only the shinies listing is bound by it in
// effect (it returns at most kListingNameLimit ids anyway).
inline constexpr std::size_t kListingExaminationLimit = 10'000;
inline constexpr std::size_t kCollectionsCountLimit = 1'000;
inline constexpr std::size_t kCollectionsByteLimit = 524'288;

// True when some record key starts with prefix. Reads a few records.
[[nodiscard]] std::expected<bool, StoreError> any_key_with_prefix(Store& store,
                                                                  std::string_view prefix);

// {"created": name}. A den is created in session.warren; a missing warren
// marker is written in the same commit. Creating an existing namespace
// writes nothing.
[[nodiscard]] std::expected<Json, DocError> create_namespace(Store& store, NamespaceKind kind,
                                                             std::string_view name,
                                                             const SessionState& session);

// {"dropped": name, "warren": ..., "den": ...}: removes the marker of an
// empty namespace and moves the session off it (session is changed only on
// success).
[[nodiscard]] std::expected<Json, DocError> drop_empty_namespace(Store& store, NamespaceKind kind,
                                                                 std::string_view name,
                                                                 SessionState& session);

// {"dropped": name, "shinies": k}: removes a den, or a warren, with
// everything in it, in one commit (Store::apply_bulk, no batch limit): for
// a den its marker and its k documents; for a warren its marker, the
// markers of its dens and the k documents of all its dens. Name rules,
// "select a warren first" for a den, and the move of the session off what
// was dropped are drop_empty_namespace's. Neither a marker nor a document:
// "namespace does not exist", nothing written. Reads every record it
// removes (a commit that only removes records always fits the database).
[[nodiscard]] std::expected<Json, DocError> drop_namespace(Store& store, NamespaceKind kind,
                                                           std::string_view name,
                                                           SessionState& session);

// Where a session stands once the namespace kind/name is dropped: out of a
// dropped warren (and its den), or out of a dropped den. The drops apply it;
// a client that knows its own place applies it to follow them.
void leave_dropped(NamespaceKind kind, std::string_view name, SessionState& session);

// A bounded listing: names in ascending order, and whether a limit left
// some out.
struct NameList {
  std::vector<std::string> names;
  bool truncated = false;

  friend bool operator==(const NameList&, const NameList&) = default;
};

// Warrens, the dens of session.warren, or the ids of session's den: the
// kListingNameLimit smallest names, truncated when there are more. Warrens
// and dens are complete at any size: the walk seeks from one warren's or
// den's group of keys to the next, reading a few records per name.
[[nodiscard]] std::expected<NameList, DocError> list_names(Store& store, ListingKind kind,
                                                           const SessionState& session);

// Dens of the default warren that hold documents, at most 1,000 names and
// 524,288 bytes of JSON string literals. Reads every plain key.
[[nodiscard]] std::expected<NameList, DocError> list_collections(Store& store);

// Every den of the default warren that holds documents, ascending, without
// limits (the offline tool's listing).
[[nodiscard]] std::expected<std::vector<std::string>, DocError> list_all_collections(Store& store);

}  // namespace tovik
