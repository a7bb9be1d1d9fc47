#include "cli/completion.h"

#include <dirent.h>

#include <algorithm>

#include "cli/shell_commands.h"

namespace tovik::cli {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

Completion complete_from(std::string_view word, std::vector<std::string> words) {
  std::vector<std::string> matches;
  for (std::string& candidate : words) {
    if (candidate.starts_with(word)) matches.push_back(std::move(candidate));
  }
  Completion result;
  if (matches.empty()) return result;
  if (matches.size() == 1) {
    result.insert = matches[0].substr(word.size());
    // A directory goes on with its entries; a whole word ends with a blank.
    if (!matches[0].ends_with('/')) result.insert += " ";
    return result;
  }
  std::size_t common = matches[0].size();
  for (const std::string& match : matches) {
    std::size_t k = 0;
    while (k < common && k < match.size() && match[k] == matches[0][k]) ++k;
    common = k;
  }
  if (common > word.size()) {
    result.insert = matches[0].substr(word.size(), common - word.size());
  } else {
    std::sort(matches.begin(), matches.end());
    matches.erase(std::unique(matches.begin(), matches.end()), matches.end());
    result.choices = std::move(matches);
  }
  return result;
}

// The entries of the word's directory that start as its last part does,
// directories marked with a "/". Hidden entries only when asked for.
std::vector<std::string> path_candidates(std::string_view word) {
  const std::size_t slash = word.rfind('/');
  const std::string directory =
      slash == std::string_view::npos ? std::string() : std::string(word.substr(0, slash + 1));
  const std::string_view part = slash == std::string_view::npos ? word : word.substr(slash + 1);
  std::vector<std::string> found;
  DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) return found;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == ".." || !name.starts_with(part)) continue;
    if (name.starts_with('.') && !part.starts_with('.')) continue;
    std::string candidate = directory + std::string(name);
    DIR* inner = entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK
                     ? ::opendir(candidate.c_str())
                     : nullptr;
    if (inner != nullptr) {
      ::closedir(inner);
      candidate += "/";
    }
    found.push_back(std::move(candidate));
  }
  ::closedir(dir);
  return found;
}

// Names the shell can type back: none with blanks or control characters.
std::vector<std::string> typeable(std::vector<std::string> names, std::string_view prefix) {
  std::vector<std::string> out;
  for (std::string& name : names) {
    if (std::any_of(name.begin(), name.end(),
                    [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; })) {
      continue;
    }
    out.push_back(std::string(prefix) + name);
  }
  return out;
}

// The argument of a name row: after `use`, what is reachable from here (or
// the warrens, written "/<warren>"); after a kind word, names of that kind.
Completion complete_name(const ShellCommandRow& row, std::string_view rest,
                         const NameLister& names) {
  if (row.sub_words.empty()) {
    if (rest.starts_with('/')) return complete_from(rest, typeable(names(NameKind::kWarrens), "/"));
    return complete_from(rest, typeable(names(NameKind::kHere), ""));
  }
  const auto blank = std::find_if(rest.begin(), rest.end(), is_blank);
  const std::string_view kind = rest.substr(0, static_cast<std::size_t>(blank - rest.begin()));
  std::string_view name = rest.substr(kind.size());
  while (!name.empty() && is_blank(name.front())) name.remove_prefix(1);
  if (std::any_of(name.begin(), name.end(), is_blank)) return {};
  if (kind == "warren") return complete_from(name, typeable(names(NameKind::kWarrens), ""));
  if (kind == "den") return complete_from(name, typeable(names(NameKind::kDens), ""));
  return {};
}

}  // namespace

Completion complete_shell_word(std::string_view before_cursor, const CompletionSources& sources) {
  std::size_t i = 0;
  while (i < before_cursor.size() && is_blank(before_cursor[i])) ++i;
  const std::string_view line = before_cursor.substr(i);
  const auto space = std::find_if(line.begin(), line.end(), is_blank);
  if (space == line.end()) {
    std::vector<std::string> words;
    for (const ShellCommandRow& row : shell_commands()) words.emplace_back(row.word);
    return complete_from(line, std::move(words));
  }
  const std::string_view first = line.substr(0, static_cast<std::size_t>(space - line.begin()));
  std::string_view rest = line.substr(first.size());
  while (!rest.empty() && is_blank(rest.front())) rest.remove_prefix(1);
  const ShellCommandRow* row = find_shell_command(first);
  if (row == nullptr) return {};
  const bool one_word = std::none_of(rest.begin(), rest.end(), is_blank);
  if (row->argument == Argument::kLocalPath) {
    return sources.paths && one_word ? complete_from(rest, path_candidates(rest)) : Completion{};
  }
  if (row->argument == Argument::kName && sources.names && (row->sub_words.empty() || !one_word)) {
    return complete_name(*row, rest, sources.names);
  }
  if (!one_word) return {};
  std::vector<std::string> words;
  for (std::string_view word : sub_words_of(*row)) words.emplace_back(word);
  return complete_from(rest, std::move(words));
}

}  // namespace tovik::cli
