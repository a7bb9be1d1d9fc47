// The shell's confirmations: the probe, the question from its answer, and
// the reading of the reply.
#include "cli/confirmation.h"

#include <cctype>
#include <cstdint>
#include <variant>

#include "cli/shell.h"
#include "cli/text.h"

namespace tovik::cli {
namespace {

const Json* member_of(const Json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

std::uint64_t count_of(const Json* value) {
  if (value == nullptr || !value->is_number_integer()) return 0;
  if (value->is_number_unsigned()) return value->get<std::uint64_t>();
  const std::int64_t signed_value = value->get<std::int64_t>();
  return signed_value < 0 ? 0 : static_cast<std::uint64_t>(signed_value);
}

const std::string* text_of(const Json* value) {
  return value != nullptr && value->is_string() ? &value->get_ref<const std::string&>() : nullptr;
}

// The entry named name in an array of {"name":..} objects, or null.
const Json* named(const Json* list, const std::string& name) {
  if (list == nullptr || !list->is_array()) return nullptr;
  for (const Json& entry : *list) {
    const std::string* entry_name = text_of(member_of(entry, "name"));
    if (entry_name != nullptr && *entry_name == name) return &entry;
  }
  return nullptr;
}

// The shinies a drop would remove, as the usage report counts them, or
// nullopt when the report does not list the namespace. A report that left
// rows out gives "?" for a namespace it does not list.
std::optional<std::string> dropped_count(const server::Drop& drop, const Json& usage,
                                         const Json& place) {
  const bool truncated =
      member_of(usage, "truncated") != nullptr && *member_of(usage, "truncated") == Json(true);
  const std::string* warren_name =
      drop.kind == server::NamespaceKind::Warren ? &drop.name : text_of(member_of(place, "warren"));
  if (warren_name == nullptr) return std::nullopt;  // "select a warren first" follows
  const Json* warren = named(member_of(usage, "warrens"), *warren_name);
  const Json* dens = warren == nullptr ? nullptr : member_of(*warren, "dens");
  std::uint64_t shinies = 0;
  if (drop.kind == server::NamespaceKind::Den) {
    const Json* den = named(dens, drop.name);
    if (den == nullptr) return truncated ? std::optional<std::string>("?") : std::nullopt;
    shinies = count_of(member_of(*den, "documents"));
  } else {
    if (warren == nullptr) return truncated ? std::optional<std::string>("?") : std::nullopt;
    if (dens != nullptr && dens->is_array()) {
      for (const Json& den : *dens) shinies += count_of(member_of(den, "documents"));
    }
    if (truncated) return "at least " + std::to_string(shinies);
  }
  return std::to_string(shinies);
}

}  // namespace

std::optional<server::Command> confirmation_probe(const server::Command& command) {
  if (const auto* many = std::get_if<server::DeleteMany>(&command)) {
    if (!many->filter.is_object() || !many->filter.empty()) return std::nullopt;
    server::Count count;
    count.filter = Json::object();
    return server::Command(std::move(count));
  }
  if (std::holds_alternative<server::Drop>(command)) return server::Usage{};
  return std::nullopt;
}

std::optional<std::string> confirmation_question(const server::Command& command,
                                                 const server::Response& probe, const Json& place) {
  if (!probe.ok) return std::nullopt;
  if (std::holds_alternative<server::DeleteMany>(command)) {
    const std::string* den = text_of(member_of(place, "den"));
    const std::uint64_t count = count_of(member_of(probe.data, "count"));
    if (den == nullptr || count == 0) return std::nullopt;
    const bool complete = member_of(probe.data, "complete") == nullptr ||
                          *member_of(probe.data, "complete") != Json(false);
    return "delete all " + std::string(complete ? "" : "at least ") + std::to_string(count) +
           " shinies in " + display_safe(*den) + "? [y/N]";
  }
  const auto* drop = std::get_if<server::Drop>(&command);
  if (drop == nullptr) return std::nullopt;
  auto shinies = dropped_count(*drop, probe.data, place);
  if (!shinies) return std::nullopt;
  return "drop " + std::string(server::namespace_kind_name(drop->kind)) + " " +
         display_safe(drop->name) + " and its " + *shinies + " shinies? [y/N]";
}

bool is_yes(std::string_view answer) {
  answer = trim(answer);
  std::string lower;
  for (char c : answer)
    lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return lower == "y" || lower == "yes";
}

std::optional<std::string_view> shell_hint(const server::Command& command) {
  const auto* remove = std::get_if<server::Delete>(&command);
  if (remove == nullptr || !remove->id.starts_with('{')) return std::nullopt;
  auto parsed = parse_json(remove->id);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  return kDeleteByFilterHint;
}

std::string drop_text(const server::Drop& drop, const Json& data) {
  return "Dropped " + std::string(server::namespace_kind_name(drop.kind)) + " " +
         display_safe(drop.name) + " and its " +
         std::to_string(count_of(member_of(data, "shinies"))) + " shinies";
}

}  // namespace tovik::cli
