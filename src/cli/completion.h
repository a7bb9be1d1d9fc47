// What Tab completes in the shell, from the shell's command table: the
// command word, the sub-words a row lists after it, the warren and den names
// the server lists where the row takes a name, and local paths after import
// and export.
//
// Threads: the tool's one thread only (the name lister talks to the server).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tovik::cli {

// Which names a completion asks for: the warrens, the dens of the current
// warren, or what `use` reaches from where the session stands (warrens at
// the instance level, else dens).
enum class NameKind { kWarrens, kDens, kHere };

// The names the server gives for a kind (empty when it gives none).
using NameLister = std::function<std::vector<std::string>(NameKind)>;

// What a tab press does to the text before the cursor: the characters to
// insert, or, when nothing can be added, the words still possible.
struct Completion {
  std::string insert;
  std::vector<std::string> choices;
};

struct CompletionSources {
  NameLister names;    // null: names are not completed
  bool paths = false;  // complete local paths after import and export
};

// Completes the word ending at the cursor: a command word as the first
// word, then the words its row lists after it (the kind after create and
// drop-empty, the listing after show), then the names or path it takes.
Completion complete_shell_word(std::string_view before_cursor,
                               const CompletionSources& sources = {});

}  // namespace tovik::cli
