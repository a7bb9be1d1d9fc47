// The top-level members of a stored document's text, found in one pass
// without building or validating anything: the fast path of operations
// that read a member or two of every document a walk meets (sort keys,
// distinct).
//
// Stored values are checksummed by the store and were written by the
// compact writer, so they are stepped over, not checked; every step is
// still bounds-checked, so damaged text gives a wrong member or a refusal,
// never a read out of bounds. Documents handed out to callers are checked
// in full where they are handed out (stored_document_text).
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace tovik {

// For an object's text: values[i] receives the text of the value of its
// member names[i] (the first met), never empty; a name that is absent
// leaves values[i] as it was (callers pass default views, whose data() is
// null). False when the text is not an object or breaks off. Stops once
// every name was met. Requires: values.size() >= names.size().
bool find_stored_members(std::string_view text, std::span<const std::string> names,
                         std::span<std::string_view> values);

}  // namespace tovik
