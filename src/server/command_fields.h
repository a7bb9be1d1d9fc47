// The vocabulary in which a command describes its fields on the wire.
//
// Each command struct (commands.h) carries, beside its members,
//
//   static constexpr std::string_view kOp = "get";
//   static constexpr auto kFields = std::tuple{fields::text("id", &Get::id)};
//
// A field names its key, says whether it is required, points at the member
// it fills and says what kind of value it holds. The request codec has one
// reader and one writer per kind and nothing per command: the description is
// the only place a command's wire shape is written down. The order of
// kFields is the order of the command's array form.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "document/documents.h"
#include "document/json.h"
#include "document/namespaces.h"
#include "document/queries.h"

namespace tovik::server {

// An optional field may be absent (object form) or null; either reads as
// "none". An appended field is an optional one that a command gained after
// its first form: requests written before it keep decoding, so the array
// form may end before it (and before every field after it, all appended
// too), and the encoder leaves it out when it holds none.
enum class Presence : std::uint8_t { Required, Optional, Appended };

constexpr bool is_optional(Presence presence) { return presence != Presence::Required; }

// The kinds of value a field holds. Each has one reader and one writer in
// the codec.
namespace field_kind {
struct Text {};       // a string
struct Namespace {};  // "warren" or "den"
struct Unsigned {     // a non-negative integer literal up to max
  std::uint64_t max;
};
struct AnyValue {};        // any JSON value; a repeated key keeps its last value
struct ObjectValue {};     // a JSON object, otherwise as AnyValue
struct OptionalUnsigned {  // a non-negative integer literal up to max
  std::uint64_t max;
};
struct OptionalText {};    // a string
struct OptionalTexts {};   // an array of strings
struct OptionalFilter {};  // a closed {"field","value"}, or the array of the two
struct WriteOps {};        // the operations of a write (see Write)
// A query filter: any value. A key repeated inside it is no decoding fault:
// the reader records the command's own refusal in `refusal` instead.
template <typename Owner>
struct QueryFilter {
  std::optional<std::string> Owner::*refusal;
};
}  // namespace field_kind

template <typename Owner, typename Member, typename Kind>
struct Field {
  using owner_type = Owner;
  std::string_view name;
  Presence presence;
  Member Owner::*member;
  Kind kind;
};

// The one way to write a field: each kind with the member type it fills.
namespace fields {
template <typename O>
constexpr auto text(std::string_view name, std::string O::*member) {
  return Field<O, std::string, field_kind::Text>{name, Presence::Required, member, {}};
}
template <typename O>
constexpr auto namespace_kind(std::string_view name, NamespaceKind O::*member) {
  return Field<O, NamespaceKind, field_kind::Namespace>{name, Presence::Required, member, {}};
}
template <typename O>
constexpr auto unsigned_up_to(std::string_view name, std::uint64_t O::*member, std::uint64_t max) {
  return Field<O, std::uint64_t, field_kind::Unsigned>{name, Presence::Required, member, {max}};
}
template <typename O>
constexpr auto optional_unsigned_up_to(std::string_view name,
                                       std::optional<std::uint64_t> O::*member, std::uint64_t max) {
  return Field<O, std::optional<std::uint64_t>, field_kind::OptionalUnsigned>{
      name, Presence::Optional, member, {max}};
}
template <typename O>
constexpr auto any_value(std::string_view name, Json O::*member) {
  return Field<O, Json, field_kind::AnyValue>{name, Presence::Required, member, {}};
}
// Any JSON value, absent or null reading as null: for a field whose checks
// belong to the executor, which names the field in its refusal.
template <typename O>
constexpr auto optional_value(std::string_view name, Json O::*member) {
  return Field<O, Json, field_kind::AnyValue>{name, Presence::Optional, member, {}};
}
template <typename O>
constexpr auto object_value(std::string_view name, Json O::*member) {
  return Field<O, Json, field_kind::ObjectValue>{name, Presence::Required, member, {}};
}
template <typename O>
constexpr auto optional_text(std::string_view name, std::optional<std::string> O::*member) {
  return Field<O, std::optional<std::string>, field_kind::OptionalText>{
      name, Presence::Optional, member, {}};
}
template <typename O>
constexpr auto optional_texts(std::string_view name,
                              std::optional<std::vector<std::string>> O::*member) {
  return Field<O, std::optional<std::vector<std::string>>, field_kind::OptionalTexts>{
      name, Presence::Optional, member, {}};
}
template <typename O>
constexpr auto optional_filter(std::string_view name, std::optional<Filter> O::*member) {
  return Field<O, std::optional<Filter>, field_kind::OptionalFilter>{
      name, Presence::Optional, member, {}};
}
template <typename O>
constexpr auto write_ops(std::string_view name, std::vector<DocumentWrite> O::*member) {
  return Field<O, std::vector<DocumentWrite>, field_kind::WriteOps>{
      name, Presence::Required, member, {}};
}
template <typename O>
constexpr auto query_filter(std::string_view name, Json O::*member,
                            std::optional<std::string> O::*refusal) {
  return Field<O, Json, field_kind::QueryFilter<O>>{name, Presence::Required, member, {refusal}};
}
// The same, absent or null meaning no filter (the member stays null).
template <typename O>
constexpr auto optional_query_filter(std::string_view name, Json O::*member,
                                     std::optional<std::string> O::*refusal) {
  return Field<O, Json, field_kind::QueryFilter<O>>{name, Presence::Optional, member, {refusal}};
}
// An optional field added to a command that was already in use (see
// Presence::Appended).
template <typename O, typename M, typename K>
constexpr auto appended(Field<O, M, K> field) {
  field.presence = Presence::Appended;
  return field;
}
}  // namespace fields

template <typename F, typename Owner>
inline constexpr bool kIsFieldOf = false;
template <typename Owner, typename Member, typename Kind>
inline constexpr bool kIsFieldOf<Field<Owner, Member, Kind>, Owner> = true;

template <typename Fields, typename Owner>
inline constexpr bool kIsFieldsOf = false;
template <typename... F, typename Owner>
inline constexpr bool kIsFieldsOf<std::tuple<F...>, Owner> = (kIsFieldOf<F, Owner> && ...);

// A command the codec can read and write: its wire name and a tuple of its
// own fields (empty for a command without fields).
template <typename T>
concept DescribedCommand = requires {
  { T::kOp } -> std::convertible_to<std::string_view>;
  requires kIsFieldsOf<std::remove_cv_t<decltype(T::kFields)>, T>;
};

}  // namespace tovik::server
