// DocError: the document layer's one error type. It is either a StoreError
// passed through unchanged from the storage engine, or a message: one of the
// layer's fixed outcomes ("namespace is not empty", "shiny already exists",
// ...) or a refusal that names what it refuses (a filter, a line of an
// import). Callers show text() to users and clients exactly as it stands;
// the offline tool and the executor tell the two kinds apart with
// is_store().
#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <string_view>

#include "core/store_error.h"

namespace tovik {

// The fixed outcome messages of the document layer.
inline constexpr std::string_view kInvalidNamespaceName = "invalid namespace name";
inline constexpr std::string_view kSelectWarrenFirst = "select a warren first";
inline constexpr std::string_view kSelectWarrenWithUse = "select a warren with use <name>";
inline constexpr std::string_view kSelectDenWithUse = "select a den with use <name>";
inline constexpr std::string_view kNamespaceNotEmpty = "namespace is not empty";
inline constexpr std::string_view kNamespaceDoesNotExist = "namespace does not exist";
inline constexpr std::string_view kShinyAlreadyExists = "shiny already exists";
inline constexpr std::string_view kShinyDoesNotExist = "shiny does not exist";
// A page met a document larger than its whole byte budget, so no page can
// hold it. Worded as the storage engine's capacity error, as clients have
// always been told.
inline constexpr std::string_view kDocumentOverPageBudget = "configured database capacity exceeded";

class DocError {
 public:
  // Implicit so that `return std::unexpected(DocError(store_error))` and
  // `return std::unexpected(store_error)` both read naturally.
  DocError(StoreError error) : store_(error) {}  // NOLINT(google-explicit-constructor)
  static DocError message(std::string_view text) { return DocError(std::string(text)); }

  bool is_store() const { return store_.has_value(); }
  // Requires: is_store().
  StoreError store() const {
    assert(store_.has_value());
    return *store_;
  }
  // The display text: the StoreError's fixed text or the message.
  std::string text() const { return store_ ? std::string(store_error_text(*store_)) : message_; }

  friend bool operator==(const DocError& a, const DocError& b) {
    return a.store_ == b.store_ && a.message_ == b.message_;
  }
  // Compares the display text, whichever kind the error is.
  friend bool operator==(const DocError& error, std::string_view text) {
    return error.store_ ? store_error_text(*error.store_) == text : error.message_ == text;
  }

 private:
  explicit DocError(std::string text) : message_(std::move(text)) {}

  std::optional<StoreError> store_;
  std::string message_;
};

}  // namespace tovik
