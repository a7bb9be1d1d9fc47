// The interactive shell: response texts and the loop.
#include "cli/shell.h"

#include <chrono>
#include <cstdint>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cli/commands.h"
#include "cli/confirmation.h"
#include "cli/data_transfer.h"
#include "cli/interrupt.h"
#include "cli/line_editor.h"
#include "cli/operator_text.h"
#include "cli/query_lines.h"
#include "cli/shell_output.h"
#include "cli/shell_transfer.h"
#include "cli/shell_watch.h"
#include "cli/terminal.h"

namespace tovik::cli {

const Json& answer_member(const Json& data, const char* key) {
  static const Json kNull;
  if (!data.is_object()) return kNull;
  const auto it = data.find(key);
  return it == data.end() ? kNull : *it;
}

namespace {

using server::Command;
using server::Response;

std::string pretty(const Json& value) { return terminal_safe_json(dump_pretty(value)); }
std::string compact(const Json& value) { return terminal_safe_json(dump_compact(value)); }

std::string listing_text(const Json& data) {
  const Json& names = answer_member(data, "names");
  if (!names.is_array()) return "Invalid name list from server.";
  std::string text;
  if (names.empty()) {
    const Json& kind = answer_member(data, "kind");
    text = "No " + (kind.is_string() ? display_safe(kind.get_ref<const std::string&>()) : "names") +
           " yet.";
  } else {
    bool first = true;
    for (const Json& name : names) {
      if (!first) text.push_back('\n');
      first = false;
      text +=
          name.is_string() ? display_safe(name.get_ref<const std::string&>()) : "<invalid name>";
    }
  }
  text += "\nLimit: 100 names / 10,000 examined records.";
  if (answer_member(data, "truncated") == Json(true)) text += " Results truncated.";
  return text;
}

std::string document_listing_text(const Json& data, OutputMode mode) {
  const Json& documents = answer_member(data, "documents");
  if (!documents.is_array()) return "Invalid document list from server.";
  std::string text;
  if (documents.empty()) {
    text = "No matching shinies.";
  } else {
    text = documents_text(documents, mode);
  }
  if (answer_member(data, "possibly_truncated") == Json(true)) {
    text +=
        "\nListing limited: at most 100 matches, 10,000 examined records, 512 KiB. Use page to "
        "browse this den.";
  }
  return text;
}

std::string navigate_text(const Json& data) {
  const Json& den = answer_member(data, "den");
  if (den.is_string()) return "Using den: " + display_safe(den.get_ref<const std::string&>());
  const Json& warren = answer_member(data, "warren");
  if (warren.is_string()) {
    return "Using warren: " + display_safe(warren.get_ref<const std::string&>());
  }
  return "At instance level.";
}

std::string page_text(const server::Page& page, const Json& data, OutputMode mode) {
  const Json& documents = answer_member(data, "documents");
  std::string text = mode == OutputMode::kPretty || !documents.is_array() ? pretty(documents)
                     : documents.empty()                                  ? "No matching shinies."
                                         : documents_text(documents, mode);
  const Json& next = answer_member(data, "next_after");
  if (next.is_string()) {
    text += "\nNext: page " + std::to_string(page.limit) + " " + compact(next);
  }
  return text;
}

std::string stats_text(const Json& data) {
  return "Instance: " + compact(answer_member(data, "records")) + " storage records, " +
         compact(answer_member(data, "live_bytes")) + " live bytes, generation " +
         compact(answer_member(data, "generation"));
}

// The success text of each command.
struct SuccessText {
  const Json& data;
  OutputMode mode;
  bool in_den;

  std::string operator()(const server::Create& c) const {
    return "Namespace ready: " + display_safe(c.name);
  }
  std::string operator()(const server::DropEmpty& c) const {
    return "Dropped empty namespace: " + display_safe(c.name);
  }
  std::string operator()(const server::Navigate&) const { return navigate_text(data); }
  std::string operator()(const server::Warrens&) const { return listing_text(data); }
  std::string operator()(const server::Dens&) const { return listing_text(data); }
  std::string operator()(const server::Shinies&) const { return listing_text(data); }
  std::string operator()(const server::Put& c) const {
    return "Stored shiny: " + display_safe(c.id);
  }
  std::string operator()(const server::Insert& c) const {
    return "Inserted shiny: " + display_safe(c.id);
  }
  std::string operator()(const server::Update& c) const {
    return "Updated shiny: " + display_safe(c.id);
  }
  std::string operator()(const server::Delete& c) const {
    return "Deleted shiny: " + display_safe(c.id);
  }
  std::string operator()(const server::Get&) const {
    if (data.is_null()) return "Shiny not found.";
    return mode == OutputMode::kPretty ? pretty(data) : documents_text(Json::array({data}), mode);
  }
  std::string operator()(const server::Find&) const { return document_listing_text(data, mode); }
  std::string operator()(const server::Scan&) const { return document_listing_text(data, mode); }
  std::string operator()(const server::Page& c) const { return page_text(c, data, mode); }
  std::string operator()(const server::Stats&) const { return stats_text(data); }
  std::string operator()(const server::Check&) const { return "Integrity check passed."; }
  std::string operator()(const server::Quit&) const { return "Goodbye."; }
  // The shell never sends these after start-up.
  std::string operator()(const server::Auth&) const { return pretty(data); }
  std::string operator()(const server::Use&) const { return pretty(data); }
  std::string operator()(const server::Collections&) const { return pretty(data); }
  std::string operator()(const server::Backup& c) const { return backup_text(c.name, data); }
  std::string operator()(const server::Usage&) const { return usage_text(data); }
  std::string operator()(const server::Server&) const { return server_text(data); }
  std::string operator()(const server::Write&) const { return pretty(data); }
  std::string operator()(const server::Query&) const {
    return document_listing_text(data, mode) + more_hint(data);
  }
  std::string operator()(const server::Count&) const { return count_text(data); }
  std::string operator()(const server::UpdateMany&) const { return update_many_text(data); }
  std::string operator()(const server::DeleteMany&) const { return delete_many_text(data); }
  std::string operator()(const server::Distinct&) const { return distinct_text(data); }
  std::string operator()(const server::Drop& c) const { return drop_text(c, data); }
  std::string operator()(const server::Changes& c) const {
    return changes_text(c, data, mode, in_den);
  }
};

void append_escape(std::string& out, std::uint32_t cp) {
  switch (cp) {
    case '\t':
      out += "\\t";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    default: {
      static constexpr char kHex[] = "0123456789abcdef";
      std::string digits;
      do {
        digits.insert(digits.begin(), kHex[cp & 0xFu]);
        cp >>= 4;
      } while (cp != 0);
      out += "\\u{" + digits + "}";
    }
  }
}

// On a terminal, a command that removes many shinies at once is asked
// about first; only a yes sends it. False when it is not to be sent.
bool confirmed(ClientSession& session, SessionIo& io, const Json& place, const Command& command) {
  if (!io.interactive) return true;
  auto probe = confirmation_probe(command);
  if (!probe) return true;
  auto answer = round_trip(session, *probe, io);
  if (!answer) return false;
  auto question = confirmation_question(command, *answer, place);
  if (!question) return true;
  auto reply = io.input.next_line(*question + " ");
  if (reply && *reply && is_yes(**reply)) return true;
  io.out << kCancelledText << '\n';
  return false;
}

void print_help(std::ostream& out) {
  for (std::string_view line : kShellHelpLines) out << line << '\n';
}

// The code point of a character that must not reach a terminal raw, when
// one starts at text[i], with its length in bytes: C1 controls (which can
// drive the terminal) and the bidirectional controls U+202A-U+202E and
// U+2066-U+2069 (which can make one name display as another).
struct Hidden {
  std::uint32_t code = 0;
  std::size_t length = 0;
};

Hidden hidden_at(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const std::size_t left = text.size() - i;
  if (left >= 2 && byte(0) == 0xC2 && byte(1) >= 0x80 && byte(1) <= 0x9F) return {byte(1), 2};
  if (left >= 3 && byte(0) == 0xE2) {
    if (byte(1) == 0x80 && byte(2) >= 0xAA && byte(2) <= 0xAE) return {0x1F80u + byte(2), 3};
    if (byte(1) == 0x81 && byte(2) >= 0xA6 && byte(2) <= 0xA9) return {0x1FC0u + byte(2), 3};
  }
  return {};
}

}  // namespace

std::string display_safe(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const Hidden hidden = hidden_at(text, i);
    if (c < 0x20 || c == 0x7F) {
      append_escape(out, c);
      ++i;
    } else if (hidden.length != 0) {
      append_escape(out, hidden.code);
      i += hidden.length;
    } else {
      out.push_back(text[i]);
      ++i;
    }
  }
  return out;
}

std::string terminal_safe_json(std::string_view json_text) {
  std::string out;
  out.reserve(json_text.size());
  static constexpr char kHex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < json_text.size();) {
    const auto c = static_cast<unsigned char>(json_text[i]);
    Hidden hidden = hidden_at(json_text, i);
    if (c == 0x7F) hidden = {c, 1};
    if (hidden.length == 0) {
      out.push_back(json_text[i]);
      ++i;
      continue;
    }
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(hidden.code >> shift) & 0xFu]);
    i += hidden.length;
  }
  return out;
}

std::string position_from(const Json& data) {
  const Json& warren = answer_member(data, "warren");
  if (!warren.is_string()) return {};
  std::string position = ":" + display_safe(warren.get_ref<const std::string&>());
  const Json& den = answer_member(data, "den");
  if (den.is_string()) position += "/" + display_safe(den.get_ref<const std::string&>());
  return position;
}

std::string response_text(const Command& command, const Response& response, OutputMode mode,
                          bool in_den) {
  if (!response.ok) {
    if (!response.error) return "Request failed";
    return display_safe(response.error->message);
  }
  return std::visit(SuccessText{response.data, mode, in_den}, command);
}

namespace {

// One shell's loop: its session, its settings and the query "more" goes on.
class ShellLoop {
 public:
  ShellLoop(ClientSession& session, SessionIo& io) : session_(session), io_(io) {}

  // False when the shell ends after this line.
  bool run_line(const std::string& text);

 private:
  bool send(const ShellAction action, const std::string& text);
  void watch(const std::string& text);
  bool connected_for(bool quitting);

  ClientSession& session_;
  SessionIo& io_;
  QueryContinuation queries_;
  ShellSettings settings_;
};

// Whether a command can go out; at a terminal a connection that was lost,
// or that the server closed while the shell waited, is reopened first.
bool ShellLoop::connected_for(bool quitting) {
  if (!io_.interactive) return session_.connected();
  if (peer_closed(session_)) {
    session_.connection.reset();
    queries_.restart();
  }
  if (session_.connected() || quitting || session_.login_refused) return session_.connected();
  queries_.restart();
  return resume_session(session_, io_);
}

void ShellLoop::watch(const std::string& text) {
  auto filter = parse_watch_line(split_first_whitespace(trim(text)).rest);
  if (!filter) {
    io_.err << filter.error().text() << '\n';
  } else if (connected_for(false)) {
    run_watch(session_, io_, *filter, settings_.mode);
  } else if (!io_.interactive || session_.login_refused) {
    io_.err << "Disconnected. Type reconnect or exit.\n";
  }
  if (!session_.connected()) queries_.restart();
}

bool ShellLoop::send(const ShellAction action, const std::string& text) {
  if (action == ShellAction::kWatch) {
    watch(text);
    return true;
  }
  if (action == ShellAction::kTransfer) {
    // The row's word is import or export, so the line is one.
    const auto line = *parse_transfer_line(text);
    if (!io_.interactive || !line) {
      run_shell_transfer(session_, io_, line);
    } else if (connected_for(false)) {
      run_interactive_transfer(session_, io_, line);
    } else if (session_.login_refused) {
      io_.err << "Disconnected. Type reconnect or exit.\n";
    }
    if (!session_.connected()) queries_.restart();
    return true;
  }
  auto command = action == ShellAction::kMore ? queries_.more() : parse_shell_line(text);
  if (!command) {
    io_.err << command.error().text() << '\n';
    return true;
  }
  const bool quitting = server::is_quit(*command);
  if (!connected_for(quitting)) {
    if (quitting) return false;
    // A failed reopening has said why.
    if (!io_.interactive || session_.login_refused) {
      io_.err << "Disconnected. Type reconnect or exit.\n";
    }
    return true;
  }
  if (!confirmed(session_, io_, queries_.place(), *command)) {
    if (!session_.connected()) queries_.restart();
    return true;
  }
  if (auto hint = shell_hint(*command)) io_.err << *hint << '\n';
  std::optional<Response> response;
  {
    AbortScope abort(session_.connection.get(), false);
    // Ctrl+C before the request went out: nothing is sent.
    if (interrupted()) {
      io_.err << "Interrupted.\n";
      return true;
    }
    response = round_trip(session_, *command, io_);
  }
  // A lost connection starts the next session at the instance level.
  if (!session_.connected()) queries_.restart();
  if (!response) return !quitting;
  if (response->ok && (std::holds_alternative<server::DropEmpty>(*command) ||
                       std::holds_alternative<server::Navigate>(*command))) {
    session_.position = position_from(response->data);
    set_place(session_, response->data);
  }
  if (const auto* drop = std::get_if<server::Drop>(&*command); drop && response->ok) {
    // Its answer names no place: the shell follows the drop itself.
    SessionState place{session_.warren, session_.den};
    leave_dropped(drop->kind, drop->name, place);
    const Json data{{"warren", place.warren ? Json(*place.warren) : Json(nullptr)},
                    {"den", place.den ? Json(*place.den) : Json(nullptr)}};
    session_.position = position_from(data);
    set_place(session_, data);
  }
  queries_.answered(*command, *response);
  (response->ok ? io_.out : io_.err)
      << response_text(*command, *response, settings_.mode, session_.den.has_value()) << '\n';
  if (quitting) {
    session_.connection.reset();
    return false;
  }
  return true;
}

bool ShellLoop::run_line(const std::string& text) {
  const ShellAction action = shell_action(text);
  switch (action) {
    case ShellAction::kHelp:
      print_help(io_.out);
      return true;
    case ShellAction::kSetting: {
      auto said = apply_setting(settings_, text);
      (said ? io_.out : io_.err) << (said ? *said : said.error().text()) << '\n';
      return true;
    }
    default:
      break;
  }
  const auto started = std::chrono::steady_clock::now();
  clear_interrupt();
  bool more = true;
  if (action == ShellAction::kReconnect) {
    reconnect(session_, io_);
    queries_.restart();
  } else {
    more = send(action, text);
  }
  if (settings_.timer && more) {
    io_.out << timer_text(std::chrono::steady_clock::now() - started) << '\n';
  }
  return more;
}

}  // namespace

Outcome run_shell_loop(ClientSession& session, SessionIo& io) {
  ShellLoop loop(session, io);
  for (;;) {
    auto line = io.input.next_line("tovik" + session.position + "> ");
    if (!line) return std::unexpected(line.error());
    if (!*line) {
      // Say goodbye to the server, but an answer no longer matters.
      if (session.connected()) {
        (void)server::send_command(session.connection.get(), server::Quit{}, io.timings);
        session.connection.reset();
      }
      return {};
    }
    if ((*line)->empty()) continue;
    if (!loop.run_line(**line)) return {};
  }
}

namespace {

// Names for completion: each listing (warrens, or the dens where the
// session stands) is asked of the server at most once a second.
class NameCache {
 public:
  NameCache(const ClientSession* const& session, server::TransportTimings timings)
      : session_(session), timings_(timings) {}

  std::vector<std::string> operator()(NameKind kind);

 private:
  struct Listing {
    std::chrono::steady_clock::time_point asked{};
    std::vector<std::string> names;
  };

  const ClientSession* const& session_;
  server::TransportTimings timings_;
  std::map<std::pair<NameKind, std::string>, Listing> listings_;
};

std::vector<std::string> NameCache::operator()(NameKind kind) {
  const ClientSession* session = session_;
  if (session == nullptr || !session->connected()) return {};
  if (kind == NameKind::kHere) kind = session->warren ? NameKind::kDens : NameKind::kWarrens;
  // The warrens are the same wherever the session stands.
  Listing& listing =
      listings_[{kind, kind == NameKind::kWarrens ? std::string() : session->position}];
  const auto now = std::chrono::steady_clock::now();
  if (now - listing.asked < std::chrono::seconds(1)) return listing.names;
  listing.asked = now;
  listing.names.clear();
  // A connection the server closed is left for the next command to reopen.
  if (peer_closed(*session)) return {};
  const Command command = kind == NameKind::kWarrens ? Command(server::Warrens{}) : server::Dens{};
  auto response = server::send_command(session->connection.get(), command, timings_);
  if (!response || !response->ok) return {};
  const Json& names = answer_member(response->data, "names");
  if (!names.is_array()) return {};
  for (const Json& name : names) {
    if (name.is_string()) listing.names.push_back(name.get<std::string>());
  }
  return listing.names;
}

}  // namespace

Outcome run_shell(const std::optional<std::string>& address) {
  const bool terminal = on_terminal();
  std::optional<HistoryFile> history;
  if (terminal) {
    if (auto path = history_file_path()) history.emplace(std::move(*path), std::cerr);
  }
  const ClientSession* current = nullptr;
  EditorOptions options;
  options.history = history ? &*history : nullptr;
  // A name asked for at a Tab press must not hold the line up for long.
  server::TransportTimings naming;
  naming.response_timeout = std::chrono::seconds(2);
  options.completion.names = NameCache(current, naming);
  options.completion.paths = true;
  auto input = make_shell_line_source(standard_input(), std::cout, std::move(options));
  SessionIo io{*input, std::cout, std::cerr, read_password};
  io.interactive = terminal;
  auto session = open_session(address, io);
  if (!session) return std::unexpected(session.error());
  current = &*session;
  std::optional<InterruptScope> interrupts;
  if (terminal) interrupts.emplace();
  auto outcome = run_shell_loop(*session, io);
  std::cout.flush();
  return outcome;
}

}  // namespace tovik::cli
