// The update of a stored document. Its fields are either plain members,
// merged at the top level ({"qty": 4} replaces the member qty whole), or
// operators on dotted paths ({"$inc": {"qty": 1}, "$set": {"dims.w": 3}}):
// an object whose keys all begin with "$". An object that mixes the two is
// refused.
//
// Operators: $set, $unset, $inc, $push, $pull, $addToSet, $rename. A path
// steps through objects only: a step that meets anything else (an array
// too) is refused where the operator writes there, and is a missing path
// where it only removes ($unset, $pull, the source of $rename). Every
// refusal is a message naming the operator or the path, and compile refuses
// whatever it can before any document is read: unknown operators, malformed
// paths, "id", and two changes on one path or on a path and its prefix.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "document/doc_error.h"
#include "document/json.h"

namespace tovik {

inline constexpr std::string_view kMixedUpdate = "cannot mix operators and fields in update";
inline constexpr std::string_view kCannotUpdateId = "cannot update id";

class DocumentUpdate {
 public:
  // A merge needs a non-empty object without "id" (else Invalid, as it
  // always has); an operator update is checked whole. `fields` must outlive
  // the result, which points into it.
  [[nodiscard]] static std::expected<DocumentUpdate, DocError> compile(const Json& fields);

  // Changes document (an object) in place. On failure it may be left partly
  // changed: callers apply to a copy that they drop on failure.
  [[nodiscard]] std::expected<void, DocError> apply(Json& document) const;

 private:
  enum class Op : std::uint8_t { Set, Unset, Inc, Push, Pull, AddToSet, Rename };
  struct Change {
    Op op = Op::Set;
    std::string_view name;  // the operator, e.g. "$inc"
    std::vector<std::string> path;
    std::string_view text;  // the path as written
    const Json* operand = nullptr;
    std::vector<std::string> target;  // $rename only
  };

  [[nodiscard]] std::expected<void, DocError> add(std::string_view name, const Json& operand);
  [[nodiscard]] std::expected<void, DocError> check_conflicts() const;
  [[nodiscard]] static std::expected<void, DocError> apply_change(const Change& change,
                                                                  Json& document);
  [[nodiscard]] static std::expected<void, DocError> rename(const Change& change, Json& document,
                                                            Json value);

  const Json* merge_ = nullptr;  // the fields of a merge
  std::vector<Change> changes_;
};

}  // namespace tovik
