// The shell's line grammar and the texts it prints for responses.
#include "cli/shell.h"

#include <string>
#include <variant>

#include <gtest/gtest.h>

#include "cli/confirmation.h"
#include "cli/data_transfer.h"
#include "cli/operator_text.h"
#include "cli/shell_watch.h"

namespace tovik::cli {
namespace {

using server::Command;

Command parsed(std::string_view line) {
  auto command = parse_shell_line(line);
  EXPECT_TRUE(command.has_value()) << line << ": " << command.error().text();
  return command ? *command : Command{server::Quit{}};
}

std::string refusal(std::string_view line) {
  auto command = parse_shell_line(line);
  EXPECT_FALSE(command.has_value()) << line;
  return command ? std::string() : command.error().text();
}

template <typename T>
T parsed_as(std::string_view line) {
  Command command = parsed(line);
  EXPECT_TRUE(std::holds_alternative<T>(command))
      << line << " gave op " << server::op_name(command);
  return std::holds_alternative<T>(command) ? std::get<T>(command) : T{};
}

TEST(ShellGrammar, NamespaceCommandsTakeKindThenName) {
  auto create = parsed_as<server::Create>("create warren shop");
  EXPECT_EQ(create.kind, server::NamespaceKind::Warren);
  EXPECT_EQ(create.name, "shop");
  auto drop = parsed_as<server::DropEmpty>("drop-empty den  my  orders ");
  EXPECT_EQ(drop.kind, server::NamespaceKind::Den);
  EXPECT_EQ(drop.name, "my  orders");  // inner spaces belong to the name

  EXPECT_EQ(refusal("create"), "expected warren or den, then a name");
  EXPECT_EQ(refusal("create warren"), "expected warren or den, then a name");
  EXPECT_EQ(refusal("drop-empty collection x"), "expected warren or den");
  EXPECT_EQ(refusal("create Warren x"), "expected warren or den");
}

TEST(ShellGrammar, UseSendsTheWholeRestAsPath) {
  EXPECT_EQ(parsed_as<server::Navigate>("use ..").name, "..");
  EXPECT_EQ(parsed_as<server::Navigate>("use  shop/orders ").name, "shop/orders");
  EXPECT_EQ(parsed_as<server::Navigate>("use a b").name, "a b");
  EXPECT_EQ(refusal("use"), kUnknownCommandText);
}

TEST(ShellGrammar, ShowWords) {
  EXPECT_TRUE(std::holds_alternative<server::Warrens>(parsed("show warrens")));
  EXPECT_TRUE(std::holds_alternative<server::Dens>(parsed("show dens")));
  EXPECT_TRUE(std::holds_alternative<server::Dens>(parsed("show collections")));
  EXPECT_TRUE(std::holds_alternative<server::Shinies>(parsed("show shinies")));
  for (auto line : {"show", "show warrens now", "show Warrens", "show use"}) {
    EXPECT_EQ(refusal(line), kUnknownCommandText) << line;
  }
}

TEST(ShellGrammar, DocumentCommandsNeedIdAndJson) {
  auto put = parsed_as<server::Put>(R"(put a1 {"qty": 2, "tags": ["x"]})");
  EXPECT_EQ(put.id, "a1");
  EXPECT_EQ(put.document, Json::parse(R"({"qty":2,"tags":["x"]})"));
  // The server, not the shell, insists on an object.
  EXPECT_EQ(parsed_as<server::Insert>("insert b 7").document, Json(7));
  EXPECT_EQ(parsed_as<server::Update>(R"(update c {"a":null})").fields,
            Json::parse(R"({"a":null})"));

  EXPECT_EQ(refusal("put a1"), "usage: put <id> <JSON object>");
  EXPECT_EQ(refusal("put"), "usage: put <id> <JSON object>");
  EXPECT_EQ(refusal("insert x"), "usage: insert <id> <JSON object>");
  EXPECT_EQ(refusal("update x"), "usage: update <id> <JSON object>");
  const std::string bad = refusal("put a1 {nope}");
  EXPECT_NE(bad.find(" at line 1 column "), std::string::npos) << bad;
}

TEST(ShellGrammar, GetAndDeleteTakeOneWord) {
  EXPECT_EQ(parsed_as<server::Get>("get a1").id, "a1");
  EXPECT_EQ(parsed_as<server::Delete>("delete  a1 ").id, "a1");
  EXPECT_EQ(refusal("get a 1"), kUnknownCommandText);
  EXPECT_EQ(refusal("get"), kUnknownCommandText);
  EXPECT_EQ(refusal("delete a\u00a0b"), kUnknownCommandText);  // no-break space is white space
}

TEST(ShellGrammar, FindParsesValueAsJsonElseString) {
  auto number = parsed_as<server::Find>("find age=5");
  EXPECT_EQ(number.field, "age");
  EXPECT_EQ(number.value, Json(5));
  EXPECT_EQ(parsed_as<server::Find>("find name=bob").value, Json("bob"));
  EXPECT_EQ(parsed_as<server::Find>(R"(find name="5")").value, Json("5"));
  EXPECT_EQ(parsed_as<server::Find>("find a=b=c").value, Json("b=c"));
  EXPECT_EQ(parsed_as<server::Find>("find flag=").value, Json(""));
  EXPECT_EQ(refusal("find =5"), "field must not be empty");
  EXPECT_EQ(refusal("find age"), "usage: find <field>=<value>");
  EXPECT_EQ(refusal("find"), "usage: find <field>=<value>");
}

TEST(ShellGrammar, PageLimitAndCursor) {
  auto page = parsed_as<server::Page>("page 10");
  EXPECT_EQ(page.limit, 10u);
  EXPECT_FALSE(page.after.has_value());
  EXPECT_FALSE(page.filter.has_value());
  EXPECT_EQ(parsed_as<server::Page>("page +100").limit, 100u);
  EXPECT_EQ(parsed_as<server::Page>(R"(page 1 "a b")").after, std::optional<std::string>("a b"));

  EXPECT_EQ(refusal("page 0"), "usage: page <1-100> [JSON string cursor]");
  EXPECT_EQ(refusal("page 101"), "usage: page <1-100> [JSON string cursor]");
  EXPECT_EQ(refusal("page"), "cannot parse integer from empty string");
  EXPECT_EQ(refusal("page ten"), "invalid digit found in string");
  EXPECT_EQ(refusal("page -1"), "invalid digit found in string");
  EXPECT_EQ(refusal("page 99999999999999999999"), "number too large to fit in target type");
  const std::string unquoted = refusal("page 10 a7");
  EXPECT_NE(unquoted.find(" at line 1 column "), std::string::npos) << unquoted;
  const std::string number = refusal("page 10 7");
  EXPECT_NE(number.find(" at line 1 column "), std::string::npos) << number;
}

TEST(ShellGrammar, WordsWithoutArguments) {
  EXPECT_TRUE(std::holds_alternative<server::Scan>(parsed("scan")));
  EXPECT_TRUE(std::holds_alternative<server::Stats>(parsed("stats")));
  EXPECT_TRUE(std::holds_alternative<server::Check>(parsed("check")));
  EXPECT_TRUE(std::holds_alternative<server::Quit>(parsed("quit")));
  EXPECT_TRUE(std::holds_alternative<server::Quit>(parsed("exit")));
  for (auto line : {"scan now", "stats x", "check all", "quit now", "exit 0"}) {
    EXPECT_EQ(refusal(line), "unexpected command arguments") << line;
  }
}

TEST(ShellGrammar, ChangesTakeAfterThenLimitAndSkip) {
  // after, limit, skip as sent; the server checks the ranges.
  const char* rows[][4] = {{"changes 41", "41", "null", "null"},
                           {"changes  41  0 ", "41", "0", "null"},
                           {"changes 41 skip 3", "41", "null", "3"},
                           {"changes 0 1000 skip 0", "0", "1000", "0"}};
  for (const auto& row : rows) {
    const auto changes = parsed_as<server::Changes>(row[0]);
    EXPECT_EQ(dump_compact(Json::array({changes.after, changes.limit, changes.skip})),
              std::string("[") + row[1] + "," + row[2] + "," + row[3] + "]")
        << row[0];
  }
  for (const char* line : {"changes", "changes x", "changes -1", "changes 1 2 3", "changes 1 skip",
                           "changes 1 skip 2 5", "changes 1 limit 2"}) {
    EXPECT_EQ(refusal(line), kChangesUsage) << line;
  }
  EXPECT_EQ(*parse_watch_line("  "), Json(nullptr));
  EXPECT_FALSE(parse_watch_line(R"({"a": 1, "a": 2})"));
}

TEST(ShellGrammar, EverythingElseIsUnknown) {
  // help and reconnect belong to the loop; batch mode refuses them here.
  for (auto line : {"help", "reconnect", "GET a", "collections", "use-it x", "auth a b", "\x01"}) {
    EXPECT_EQ(refusal(line), kUnknownCommandText) << line;
  }
}

// The table is what the loops, the help and the completion read: a row
// that one of them cannot use is a command the user cannot reach.
TEST(ShellCommandTable, EveryRowIsUsableByEveryReader) {
  std::string help;
  for (std::string_view line : kShellHelpLines) help += std::string(line) + "\n";
  for (const ShellCommandRow& row : shell_commands()) {
    const std::string word(row.word);
    EXPECT_EQ(find_shell_command(word), &row) << word;
    if (row.action != ShellAction::kHelp) {
      EXPECT_NE(help.find(word), std::string::npos) << word;
    }
    // Each word completed after the command is one it accepts.
    for (std::string_view sub : sub_words_of(row)) {
      const std::string line = word + " " + std::string(sub);
      ShellSettings settings;
      if (shell_action(line) == ShellAction::kSetting) {
        EXPECT_TRUE(apply_setting(settings, line)) << line;
        continue;
      }
      EXPECT_TRUE(parse_shell_line(line) || parse_shell_line(line + " x")) << line;
    }
    if (row.action == ShellAction::kTransfer) {
      EXPECT_EQ(shell_action(word + " p"), ShellAction::kTransfer) << word;
      EXPECT_TRUE(parse_transfer_line(word + " p").has_value()) << word;
    } else if (row.action == ShellAction::kWatch) {
      EXPECT_EQ(shell_action(word + " {}"), ShellAction::kWatch) << word;
      EXPECT_EQ(refusal(word), kUnknownCommandText) << word;  // batch mode has none
    } else if (row.action == ShellAction::kSetting) {
      ShellSettings settings;
      EXPECT_EQ(shell_action(word + " x"), ShellAction::kSetting) << word;
      EXPECT_FALSE(apply_setting(settings, word + " x")) << word;
      EXPECT_EQ(refusal(word), kUnknownCommandText) << word;
    } else if (row.action != ShellAction::kSend) {
      // The loop's words take no arguments: with some, the parse refuses.
      EXPECT_EQ(shell_action(word), row.action) << word;
      EXPECT_EQ(shell_action(word + " x"), ShellAction::kSend) << word;
      EXPECT_EQ(refusal(word), kUnknownCommandText) << word;
    }
  }
  EXPECT_EQ(shell_action("bogus"), ShellAction::kSend);
}

TEST(DisplaySafe, EscapesControlsAndKeepsText) {
  EXPECT_EQ(display_safe("a\tb\nc\rd"), "a\\tb\\nc\\rd");
  EXPECT_EQ(display_safe(std::string("\x00\x1b\x7f", 3)), "\\u{0}\\u{1b}\\u{7f}");
  EXPECT_EQ(display_safe("\u0085\u009f"), "\\u{85}\\u{9f}");
  EXPECT_EQ(display_safe("caf\u00e9 \u00a0\u4e16 \\"), "caf\u00e9 \u00a0\u4e16 \\");
  // Bidirectional controls, the first and last of both ranges; their
  // neighbours stay as they are.
  EXPECT_EQ(display_safe("a\u202a\u202eb\u2066\u2069"), "a\\u{202a}\\u{202e}b\\u{2066}\\u{2069}");
  EXPECT_EQ(display_safe("\u2029\u202f\u2065\u206a"), "\u2029\u202f\u2065\u206a");
}

TEST(DisplaySafe, JsonKeepsItsMeaningButLosesRawControls) {
  EXPECT_EQ(terminal_safe_json("\"a\u009bb\x7f\""), "\"a\\u009bb\\u007f\"");
  EXPECT_EQ(Json::parse(terminal_safe_json("\"a\u0085\"")), Json("a\u0085"));
  EXPECT_EQ(terminal_safe_json("\"\u202e\u2067\""), "\"\\u202e\\u2067\"");
}

TEST(ShellInput, JsonLeftOpenAtTheEndOfALineContinues) {
  for (const char* open :
       {"put a {", "insert a [1, {", "update a {\"s\": \"}\",", "find x={", "put {a {\"b\": ["}) {
    EXPECT_TRUE(ends_inside_json(open)) << open;
  }
  for (const char* done : {"put a {}", "put a {\"s\": \"{\"}", "put a }{", "put a {\"s\": \"x",
                           "find x", "find x=1", "get {", "stats", "put a", "find {=1"}) {
    EXPECT_FALSE(ends_inside_json(done)) << done;
  }
}

server::Response ok(Json data) { return server::success(std::move(data)); }

TEST(ShellOutput, SimpleCommandTexts) {
  EXPECT_EQ(
      response_text(server::Create{server::NamespaceKind::Den, "a\nb"}, ok({{"created", "x"}})),
      "Namespace ready: a\\nb");
  EXPECT_EQ(response_text(server::DropEmpty{server::NamespaceKind::Den, "d"}, ok(nullptr)),
            "Dropped empty namespace: d");
  EXPECT_EQ(response_text(server::Put{"a1", {}}, ok(nullptr)), "Stored shiny: a1");
  EXPECT_EQ(response_text(server::Insert{"a1", {}}, ok(nullptr)), "Inserted shiny: a1");
  EXPECT_EQ(response_text(server::Update{"a1", {}}, ok(nullptr)), "Updated shiny: a1");
  EXPECT_EQ(response_text(server::Delete{"a1"}, ok(nullptr)), "Deleted shiny: a1");
  EXPECT_EQ(response_text(server::Check{}, ok({{"valid", true}})), "Integrity check passed.");
  EXPECT_EQ(response_text(server::Quit{}, ok({{"bye", true}})), "Goodbye.");
  EXPECT_EQ(
      response_text(server::Stats{}, ok({{"records", 3}, {"live_bytes", 120}, {"generation", 9}})),
      "Instance: 3 storage records, 120 live bytes, generation 9");
  EXPECT_EQ(response_text(server::Stats{}, ok(Json::array())),
            "Instance: null storage records, null live bytes, generation null");
}

// What the shell asks before a command that removes many shinies, from the
// probe's answer; nothing is asked where the probe cannot size it.
TEST(ShellConfirmation, QuestionsComeFromTheProbe) {
  const Json in_den{{"den", "stock"}, {"warren", "shop"}};
  const Json in_warren{{"den", nullptr}, {"warren", "shop"}};
  const Json usage{
      {"truncated", false},
      {"warrens",
       {{{"name", "shop"},
         {"dens", {{{"name", "stock"}, {"documents", 4}}, {{"name", "old"}, {"documents", 3}}}}}}}};
  const server::Command empty_delete = *parse_shell_line("delete-many {}");
  const server::Command den_drop = server::Drop{server::NamespaceKind::Den, "stock"};
  const server::Command warren_drop = server::Drop{server::NamespaceKind::Warren, "shop"};
  const struct {
    const char* name;
    server::Command command;
    server::Response probe;
    Json place;
    const char* question;  // "" for none
  } rows[] = {
      {"empty den", empty_delete, ok({{"count", 5}, {"complete", true}}), in_den,
       "delete all 5 shinies in stock? [y/N]"},
      {"count cut short", empty_delete, ok({{"count", 9}, {"complete", false}}), in_den,
       "delete all at least 9 shinies in stock? [y/N]"},
      {"nothing to delete", empty_delete, ok({{"count", 0}}), in_den, ""},
      {"refused probe", empty_delete, server::failure("no_den", "select a den"), in_den, ""},
      {"den", den_drop, ok(usage), in_warren, "drop den stock and its 4 shinies? [y/N]"},
      {"warren", warren_drop, ok(usage), Json{{"den", nullptr}, {"warren", nullptr}},
       "drop warren shop and its 7 shinies? [y/N]"},
      {"den not there", server::Drop{server::NamespaceKind::Den, "new"}, ok(usage), in_warren, ""},
      {"no warren selected", den_drop, ok(usage), Json{{"den", nullptr}, {"warren", nullptr}}, ""},
  };
  for (const auto& row : rows) {
    ASSERT_TRUE(confirmation_probe(row.command).has_value()) << row.name;
    EXPECT_EQ(confirmation_question(row.command, row.probe, row.place).value_or(""), row.question)
        << row.name;
  }
  EXPECT_FALSE(confirmation_probe(*parse_shell_line(R"(delete-many {"a":1})")).has_value());
  EXPECT_FALSE(confirmation_probe(server::DropEmpty{}).has_value());
  for (auto answer : {"y", "YES", " yes "}) EXPECT_TRUE(is_yes(answer)) << answer;
  for (auto answer : {"", "n", "yess", "no"}) EXPECT_FALSE(is_yes(answer)) << answer;
  EXPECT_EQ(shell_hint(server::Delete{R"({"a":1})"}), kDeleteByFilterHint);
  EXPECT_FALSE(shell_hint(server::Delete{"{x"}).has_value());
  EXPECT_EQ(response_text(den_drop, ok({{"dropped", "stock"}, {"shinies", 4}})),
            "Dropped den stock and its 4 shinies");
}

TEST(ShellOutput, FailuresShowOnlyTheMessage) {
  EXPECT_EQ(response_text(server::Get{"x"}, server::failure("operation_failed", "no\nden")),
            "no\\nden");
  server::Response bare;
  bare.ok = false;
  EXPECT_EQ(response_text(server::Get{"x"}, bare), "Request failed");
}

TEST(ShellOutput, NavigateAndPosition) {
  const Json den = {{"warren", "shop"}, {"den", "orders"}};
  const Json warren = {{"warren", "shop"}, {"den", nullptr}};
  const Json top = {{"warren", nullptr}, {"den", nullptr}};
  EXPECT_EQ(response_text(server::Navigate{"x"}, ok(den)), "Using den: orders");
  EXPECT_EQ(response_text(server::Navigate{"x"}, ok(warren)), "Using warren: shop");
  EXPECT_EQ(response_text(server::Navigate{"x"}, ok(top)), "At instance level.");
  EXPECT_EQ(position_from(den), ":shop/orders");
  EXPECT_EQ(position_from(warren), ":shop");
  EXPECT_EQ(position_from(top), "");
  EXPECT_EQ(position_from(Json{{"warren", "a\rb"}}), ":a\\rb");
  EXPECT_EQ(position_from(Json("shop")), "");  // odd data from a server
  // drop_empty's answer carries the position too.
  EXPECT_EQ(position_from({{"dropped", "orders"}, {"warren", "shop"}, {"den", nullptr}}), ":shop");
}

TEST(ShellOutput, NameListings) {
  const server::Warrens warrens;
  EXPECT_EQ(response_text(warrens, ok({{"kind", "warrens"}, {"names", Json::array()}})),
            "No warrens yet.\nLimit: 100 names / 10,000 examined records.");
  EXPECT_EQ(response_text(server::Dens{}, ok({{"names", Json::array()}, {"truncated", true}})),
            "No names yet.\nLimit: 100 names / 10,000 examined records. Results truncated.");
  EXPECT_EQ(
      response_text(server::Shinies{},
                    ok({{"kind", "shinies"}, {"names", {"a", 5, "b\nc"}}, {"truncated", false}})),
      "a\n<invalid name>\nb\\nc\nLimit: 100 names / 10,000 examined records.");
  EXPECT_EQ(response_text(warrens, ok({{"names", "a"}})), "Invalid name list from server.");
  EXPECT_EQ(response_text(warrens, ok(nullptr)), "Invalid name list from server.");
}

TEST(ShellOutput, DocumentListings) {
  const server::Scan scan;
  EXPECT_EQ(response_text(scan, ok({{"documents", Json::array()}})), "No matching shinies.");
  EXPECT_EQ(response_text(scan, ok({{"documents", {{{"id", "a"}}, {{"id", "b"}}}},
                                    {"possibly_truncated", true}})),
            "{\n  \"id\": \"a\"\n}\n{\n  \"id\": \"b\"\n}\nListing limited: at most 100 matches, "
            "10,000 examined records, 512 KiB. Use page to browse this den.");
  EXPECT_EQ(response_text(server::Find{"a", 1}, ok({{"documents", 3}})),
            "Invalid document list from server.");
  EXPECT_EQ(response_text(server::Get{"a"}, ok(nullptr)), "Shiny not found.");
  EXPECT_EQ(response_text(server::Get{"a"}, ok({{"id", "a"}, {"n", 1}})),
            "{\n  \"id\": \"a\",\n  \"n\": 1\n}");
}

TEST(ShellOutput, PageOffersTheNextCommand) {
  server::Page page;
  page.limit = 2;
  EXPECT_EQ(response_text(page, ok({{"documents", Json::array()}, {"next_after", nullptr}})), "[]");
  EXPECT_EQ(response_text(page, ok({{"documents", {{{"id", "a"}}}}, {"next_after", "a \"q\""}})),
            "[\n  {\n    \"id\": \"a\"\n  }\n]\nNext: page 2 \"a \\\"q\\\"\"");
  EXPECT_EQ(response_text(page, ok(Json::object())), "null");
}

TEST(ShellOutput, ChangesNameWhereTheyHappenedAndOfferTheNextCommand) {
  const Json put = Json::parse(R"({"den":"orders","document":{"id":"a\n1"},"generation":9,
                                   "id":"a\n1","kind":"put","warren":"shop"})");
  const Json gone = Json::parse(R"({"den":"orders","id":"b","kind":"delete","warren":"shop"})");
  const auto text = [](const server::Changes& c, const Json& data, bool in_den) {
    return response_text(c, ok(data), OutputMode::kCompact, in_den);
  };
  // The warren is left out only where the den alone is unambiguous.
  EXPECT_EQ(text(parsed_as<server::Changes>("changes 8 2"),
                 {{"changes", Json::array({put, gone})}, {"next", 10}}, true),
            "put orders a\\n1\n{\"id\":\"a\\n1\"}\ndelete orders b\nNext: changes 10 2");
  const auto bare = parsed_as<server::Changes>("changes 8");
  EXPECT_EQ(text(bare, {{"changes", Json::array({gone})}, {"next", 9}, {"skip", 1}}, false),
            "delete shop/orders b\nNext: changes 9 skip 1");
  EXPECT_EQ(text(bare, {{"changes", Json::array()}, {"next", 8}}, false),
            "No changes.\nNext: changes 8");
  EXPECT_EQ(text(bare, Json::object(), false), "Invalid change list from server.");
}

TEST(ShellOutput, SettingsChangeHowDocumentsShow) {
  ShellSettings settings;
  EXPECT_EQ(*apply_setting(settings, "show settings"), "mode: pretty\ntimer: off");
  EXPECT_EQ(*apply_setting(settings, "mode  compact"), "Output mode: compact");
  EXPECT_EQ(*apply_setting(settings, "timer on"), "Timer: on");
  EXPECT_EQ(settings_text(settings), "mode: compact\ntimer: on");
  EXPECT_EQ(apply_setting(settings, "mode fancy").error().text(),
            "usage: mode pretty|compact|table");
  EXPECT_EQ(apply_setting(settings, "timer").error().text(), "usage: timer on|off");
  EXPECT_EQ(shell_action("show settings"), ShellAction::kSetting);
  EXPECT_EQ(refusal("show settings"), kUnknownCommandText);  // batch mode has none

  const Json docs = Json::parse(R"([{"id":"a1","name":"bob","age":5},
      {"id":"b\u0007","tags":["x"],"note":")" +
                                std::string(50, 'n') + R"("}, 7])");
  const server::Scan scan;
  EXPECT_EQ(response_text(scan, ok({{"documents", docs}}), OutputMode::kCompact),
            R"({"age":5,"id":"a1","name":"bob"})"
            "\n"
            R"({"id":"b\u0007","note":")" +
                std::string(50, 'n') +
                R"(","tags":["x"]})"
                "\n7");
  // id first, then every member in sorted order; long values are cut; a
  // document that is no object shows whole in the id column.
  const std::string cut = "\"" + std::string(38, 'n') + "…";
  EXPECT_EQ(response_text(scan, ok({{"documents", docs}}), OutputMode::kTable),
            "id      age  name   note" + std::string(36, ' ') +
                "  tags\n"
                "------  ---  -----  " +
                std::string(40, '-') +
                "  -----\n"
                "a1      5    \"bob\"\n"
                "b\\u{7}              " +
                cut +
                "  [\"x\"]\n"
                "7");
  server::Page page;
  page.limit = 1;
  EXPECT_EQ(response_text(page, ok({{"documents", {{{"id", "a"}}}}, {"next_after", "a"}}),
                          OutputMode::kCompact),
            "{\"id\":\"a\"}\nNext: page 1 \"a\"");
  EXPECT_EQ(response_text(server::Get{"a"}, ok({{"id", "a"}}), OutputMode::kTable), "id\n--\na");
}

TEST(ShellOperator, BackupUsageAndShowServerLines) {
  EXPECT_EQ(parsed_as<server::Backup>("backup  nightly 1").name, "nightly 1");
  EXPECT_EQ(refusal("backup"), "usage: backup <name>");
  EXPECT_TRUE(std::holds_alternative<server::Usage>(parsed("usage")));
  EXPECT_TRUE(std::holds_alternative<server::Server>(parsed("show server")));
  EXPECT_EQ(refusal("usage now"), "unexpected command arguments");
  EXPECT_EQ(response_text(server::Backup{"b\x1b"}, ok({{"generation", 7}})),
            "Backup written: b\\u{1b} (generation 7)");
  // The feed's line follows the others; a server without a feed has none.
  const Json feed = {{"bytes", 512}, {"changes", 3}, {"oldest", 7}, {"waiting", 1}};
  EXPECT_TRUE(response_text(server::Server{}, ok({{"feed", feed}}))
                  .ends_with("\nLog errors: null\nFeed: 3 changes held, 512 bytes, oldest "
                             "generation 7, 1 clients waiting"));
  EXPECT_TRUE(response_text(server::Server{}, ok(Json::object())).ends_with("Log errors: null"));
}

TEST(ShellOperator, FillBarRoundsTheBarAndFloorsThePercent) {
  constexpr std::uint64_t kCapacity = 16'777'152;
  struct Case {
    std::uint64_t live;
    std::string bar;
  };
  for (const Case& c : {Case{0, "[" + std::string(40, '.') + "] 0% of 16 MiB"},
                        Case{kCapacity * 19 / 100 + 99'999,
                             "[" + std::string(8, '#') + std::string(32, '.') + "] 19% of 16 MiB"},
                        Case{kCapacity, "[" + std::string(40, '#') + "] 100% of 16 MiB"},
                        Case{2 * kCapacity, "[" + std::string(40, '#') + "] 100% of 16 MiB"}}) {
    EXPECT_EQ(fill_bar(c.live, kCapacity), c.bar) << c.live;
  }
  EXPECT_EQ(fill_bar(5, 0), "[" + std::string(40, '.') + "] 0% of 0 MiB");
}

TEST(ShellOperator, UsageTableAlignsWarrensAndDens) {
  const Json data = Json::parse(R"({"capacity_bytes":1000,"live_bytes":250,"records":3,
    "warrens":[{"name":"shop","bytes":250,"dens":[{"name":"orders","documents":2,"bytes":200}]}]})");
  EXPECT_EQ(response_text(server::Usage{}, ok(data)),
            "warren/den     documents  bytes  share\n"
            "shop                   2    250  25.0%\n"
            "  shop/orders          2    200  20.0%\n"
            "[##########..............................] 25% of 1 MiB");
  EXPECT_EQ(response_text(server::Usage{}, ok(Json::array())),
            "warren/den  documents  bytes  share\nNo records yet.\n[" + std::string(40, '.') +
                "] 0% of 0 MiB");
}

}  // namespace
}  // namespace tovik::cli
