#include "server/dispatch.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "doc_fixture.h"
#include "document/documents.h"
#include "document/keys.h"
#include "server/online_backup.h"

namespace tovik::server {
namespace {

using tovik::testing::parse;

constexpr std::string_view kSelectWarren = "select a warren first";
constexpr std::string_view kSelectWarrenUse = "select a warren with use <name>";
constexpr std::string_view kSelectDen = "select a den with use <name>";
constexpr std::string_view kInvalidInput = "invalid input or configuration";

class Executor : public tovik::testing::DocFixture {
 protected:
  ExecuteResult run(const Command& command) { return execute(store(), session_, command); }

  // Runs a command that must succeed and returns its data.
  Json ok(const Command& command) {
    ExecuteResult result = run(command);
    EXPECT_TRUE(result.has_value()) << op_name(command) << ": " << result.error();
    return result ? parse(encode_data(*result)) : Json();
  }

  // Runs a command that must fail and returns its message.
  std::string refused(const Command& command) {
    ExecuteResult result = run(command);
    EXPECT_FALSE(result.has_value()) << op_name(command) << " gave " << encode_data(*result);
    return result ? std::string() : result.error();
  }

  Json where() const {
    return Json{{"warren", session_.warren ? Json(*session_.warren) : Json()},
                {"den", session_.den ? Json(*session_.den) : Json()}};
  }

  SessionState session_;
};

// Each command that needs a den, with valid fields.
std::vector<Command> document_commands() {
  return {Put{"a", parse(R"({"n":1})")},
          Insert{"a", parse(R"({"n":1})")},
          Update{"a", parse(R"({"n":2})")},
          Page{10, std::nullopt, std::nullopt},
          Get{"a"},
          Delete{"a"},
          Find{"n", parse("1")},
          Scan{},
          Query{parse("{}"), std::nullopt, 5, std::nullopt, {{"n"}}, 1},
          UpdateMany{parse("{}"), parse(R"({"n":2})")},
          DeleteMany{parse("{}")},
          Distinct{"n", Json()}};
}

TEST_F(Executor, NewSessionStandsAtTheInstanceLevel) {
  const std::uint64_t generation = store().generation();
  EXPECT_EQ(refused(Shinies{}), kSelectWarren);
  EXPECT_EQ(refused(Dens{}), kSelectWarrenUse);
  for (const Command& command : document_commands()) {
    EXPECT_EQ(refused(command), kSelectCollection) << op_name(command);
  }
  EXPECT_EQ(ok(Warrens{}), parse(R"({"examination_limit":10000,"kind":"warrens","limit":100,)"
                                 R"("names":[],"truncated":false})"));
  EXPECT_EQ(ok(Collections{}), parse(R"({"collections":[],"truncated":false})"));
  EXPECT_EQ(ok(Check{}), parse(R"({"valid":true})"));
  EXPECT_EQ(ok(Stats{}), (Json{{"generation", generation}, {"live_bytes", 0}, {"records", 0}}));
  EXPECT_EQ(store().generation(), generation) << "nothing may have been written";
}

TEST_F(Executor, ShiniesNeedsAWarrenThenADen) {
  ok(Navigate{"w"});
  EXPECT_EQ(refused(Shinies{}), kSelectDen);
  ok(Navigate{"d"});
  ok(Put{"b", parse("{}")});
  ok(Put{"a", parse("{}")});
  EXPECT_EQ(ok(Shinies{}), parse(R"({"examination_limit":10000,"kind":"shinies","limit":100,)"
                                 R"("names":["a","b"],"truncated":false})"));
  EXPECT_EQ(ok(Dens{})["names"], parse(R"(["d"])"));
}

TEST_F(Executor, NavigateUpAndDown) {
  const std::uint64_t generation = store().generation();
  EXPECT_EQ(ok(Navigate{"w"}), parse(R"({"den":null,"warren":"w"})"));
  EXPECT_EQ(ok(Navigate{"d"}), parse(R"({"den":"d","warren":"w"})"));
  EXPECT_EQ(ok(Navigate{"e"}), parse(R"({"den":"e","warren":"w"})"));
  EXPECT_EQ(ok(Navigate{".."}), parse(R"({"den":null,"warren":"w"})"));
  EXPECT_EQ(ok(Navigate{".."}), parse(R"({"den":null,"warren":null})"));
  EXPECT_EQ(ok(Navigate{".."}), parse(R"({"den":null,"warren":null})"));
  EXPECT_EQ(store().generation(), generation) << "navigation does not touch the store";
}

TEST_F(Executor, NavigatePaths) {
  EXPECT_EQ(ok(Navigate{"/x/y"}), parse(R"({"den":"y","warren":"x"})"));
  ok(Navigate{"/"});
  EXPECT_EQ(ok(Navigate{"x/y"}), parse(R"({"den":"y","warren":"x"})"));
  // Two parts are absolute even from inside a warren.
  EXPECT_EQ(ok(Navigate{"p/q"}), parse(R"({"den":"q","warren":"p"})"));
  EXPECT_EQ(ok(Navigate{"/x"}), parse(R"({"den":null,"warren":"x"})"));
  EXPECT_EQ(ok(Navigate{"/"}), parse(R"({"den":null,"warren":null})"));
  // Names the name rule allows.
  EXPECT_EQ(ok(Navigate{"a b/."}), parse(R"({"den":".","warren":"a b"})"));
  EXPECT_EQ(ok(Navigate{"/" + std::string(256, 'w')})["warren"], std::string(256, 'w'));
}

TEST_F(Executor, BadNavigatePathsLeaveThePositionAlone) {
  ok(Navigate{"/w/d"});
  for (std::string_view path :
       {"", "x/y/z", "/x/", "//", "../x", "x/..", "/..", "a\tb", "x/", "/x//"}) {
    EXPECT_EQ(refused(Navigate{std::string(path)}), kInvalidNavigateName) << path;
    EXPECT_EQ(where(), parse(R"({"den":"d","warren":"w"})")) << path;
  }
  EXPECT_EQ(refused(Navigate{std::string(257, 'w')}), kInvalidNavigateName);
}

TEST_F(Executor, UseSelectsACollectionOfTheDefaultWarren) {
  EXPECT_EQ(ok(Use{std::string(512, 'c')})["collection"], std::string(512, 'c'));
  EXPECT_EQ(where()["warren"], "default");
  for (const std::string& bad : {std::string(513, 'c'), std::string(), std::string("a\0b", 3)}) {
    EXPECT_EQ(refused(Use{bad}), kInvalidCollectionName);
    EXPECT_EQ(where()["den"], std::string(512, 'c')) << "a failed use keeps the position";
  }
}

TEST_F(Executor, UseReachesDensThatNavigateCannotName) {
  ok(Navigate{"/w/x"});
  EXPECT_EQ(ok(Use{"a/b"}), parse(R"({"collection":"a/b"})"));
  EXPECT_EQ(where(), parse(R"({"den":"a/b","warren":"default"})"));
  EXPECT_EQ(ok(Put{"k", parse(R"({"v":1})")}), parse(R"({"stored":"k"})"));
  // A plain key of the default warren: den "a/b", id "k".
  auto stored = store().get(std::string("a/b\0k", 5));
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(*stored, std::optional<std::string>(R"({"id":"k","v":1})"));
  EXPECT_EQ(ok(Collections{}), parse(R"({"collections":["a/b"],"truncated":false})"));
}

TEST_F(Executor, DocumentCommandsWorkInTheCurrentWarren) {
  ok(Navigate{"/w/d"});
  EXPECT_EQ(ok(Put{"a", parse(R"({"n":1})")}), parse(R"({"stored":"a"})"));
  EXPECT_EQ(ok(Get{"a"}), parse(R"({"id":"a","n":1})"));
  // The same den name in the default warren is another den.
  ok(Use{"d"});
  EXPECT_EQ(ok(Get{"a"}), Json(nullptr));
  // A den without a warren (not reachable through commands) means "default".
  session_ = SessionState{std::nullopt, "d"};
  ok(Put{"z", parse("{}")});
  ok(Use{"d"});
  EXPECT_EQ(ok(Get{"z"}), parse(R"({"id":"z"})"));
}

TEST_F(Executor, DocumentCommandsSuccessAndFailure) {
  ok(Use{"c"});
  EXPECT_EQ(ok(Insert{"b", parse(R"({"n":2,"t":"x"})")}), parse(R"({"inserted":"b"})"));
  EXPECT_EQ(refused(Insert{"b", parse("{}")}), "shiny already exists");
  EXPECT_EQ(ok(Update{"b", parse(R"({"n":3})")}), parse(R"({"updated":"b"})"));
  EXPECT_EQ(ok(Get{"b"}), parse(R"({"id":"b","n":3,"t":"x"})"));
  EXPECT_EQ(refused(Update{"q", parse(R"({"n":3})")}), "shiny does not exist");
  EXPECT_EQ(refused(Update{"b", parse("{}")}), kInvalidInput);
  EXPECT_EQ(refused(Put{"a", parse("[1]")}), kInvalidInput);
  EXPECT_EQ(refused(Put{"", parse("{}")}), kInvalidInput);
  ok(Put{"a", parse(R"({"n":1})")});
  ok(Put{"c", parse(R"({"n":3})")});

  EXPECT_EQ(
      ok(Find{"n", parse("3")}),
      parse(R"({"byte_limited":false,"documents":[{"id":"b","n":3,"t":"x"},{"id":"c","n":3}],)"
            R"("examination_limit":10000,"examined":3,"possibly_truncated":false,)"
            R"("result_limit":100})"));
  EXPECT_EQ(ok(Find{"n", parse("3.0")})["documents"], Json::array());
  EXPECT_EQ(ok(Scan{})["documents"].size(), 3u);

  EXPECT_EQ(ok(Page{2, std::nullopt, std::nullopt}),
            parse(R"({"documents":[{"id":"a","n":1},{"id":"b","n":3,"t":"x"}],"examined":2,)"
                  R"("next_after":"b"})"));
  EXPECT_EQ(ok(Page{1, std::string("a"), Filter{"n", parse("3")}}),
            parse(R"({"documents":[{"id":"b","n":3,"t":"x"}],"examined":1,"next_after":"b"})"));
  EXPECT_EQ(ok(Page{5, std::string("b"), Filter{"n", parse("3")}}),
            parse(R"({"documents":[{"id":"c","n":3}],"examined":1,"next_after":null})"));
  EXPECT_EQ(refused(Page{0, std::nullopt, std::nullopt}), kInvalidInput);
  EXPECT_EQ(refused(Page{101, std::nullopt, std::nullopt}), kInvalidInput);
  EXPECT_EQ(refused(Page{18446744073709551615u, std::nullopt, std::nullopt}), kInvalidInput);

  const std::uint64_t before = store().generation();
  EXPECT_EQ(ok(Delete{"zz"}), parse(R"({"deleted":"zz"})"));
  EXPECT_EQ(store().generation(), before + 1);
  EXPECT_EQ(ok(Delete{"a"}), parse(R"({"deleted":"a"})"));
  EXPECT_EQ(ok(Get{"a"}), Json(nullptr));
}

TEST_F(Executor, CreateAndDropNamespaces) {
  EXPECT_EQ(refused(Create{NamespaceKind::Den, "d"}), kSelectWarren);
  // The name rule comes before the warren requirement.
  EXPECT_EQ(refused(Create{NamespaceKind::Den, "a/b"}), "invalid namespace name");
  EXPECT_EQ(ok(Create{NamespaceKind::Warren, "w"}), parse(R"({"created":"w"})"));
  ok(Navigate{"w"});
  EXPECT_EQ(ok(Create{NamespaceKind::Den, "d"}), parse(R"({"created":"d"})"));
  EXPECT_EQ(where(), parse(R"({"den":null,"warren":"w"})")) << "create does not move";
  EXPECT_EQ(ok(Dens{})["names"], parse(R"(["d"])"));

  ok(Navigate{"d"});
  EXPECT_EQ(refused(DropEmpty{NamespaceKind::Warren, "w"}), "namespace is not empty");
  EXPECT_EQ(where(), parse(R"({"den":"d","warren":"w"})")) << "a failed drop keeps the position";
  EXPECT_EQ(refused(DropEmpty{NamespaceKind::Den, "nope"}), "namespace does not exist");
  EXPECT_EQ(ok(DropEmpty{NamespaceKind::Den, "d"}),
            parse(R"({"den":null,"dropped":"d","warren":"w"})"));
  EXPECT_EQ(where(), parse(R"({"den":null,"warren":"w"})"));
}

TEST_F(Executor, DroppingTheCurrentWarrenLeavesNoCollection) {
  ok(Create{NamespaceKind::Warren, "w"});
  ok(Navigate{"/w/d"});
  EXPECT_EQ(ok(DropEmpty{NamespaceKind::Warren, "w"}),
            parse(R"({"den":null,"dropped":"w","warren":null})"));
  EXPECT_EQ(refused(Put{"a", parse("{}")}), kSelectCollection);
  EXPECT_EQ(where(), parse(R"({"den":null,"warren":null})"));
}

TEST_F(Executor, AuthInASessionFailsAndTheSessionGoesOn) {
  ok(Use{"c"});
  EXPECT_EQ(refused(Auth{"admin", "password1234"}), "session is already authenticated");
  EXPECT_EQ(where(), parse(R"({"den":"c","warren":"default"})"));
  EXPECT_EQ(ok(Put{"a", parse("{}")}), parse(R"({"stored":"a"})"));
}

TEST_F(Executor, QuitSaysBye) { EXPECT_EQ(ok(Quit{}), parse(R"({"bye":true})")); }

TEST_F(Executor, StatsReportTheStoreCounters) {
  const std::uint64_t generation = store().generation();
  ok(Use{"c"});
  ok(Put{"a", parse("{}")});
  ok(Put{"b", parse("{}")});
  const StoreStats stats = store().stats();
  EXPECT_EQ(
      ok(Stats{}),
      (Json{{"generation", stats.generation}, {"live_bytes", stats.live_bytes}, {"records", 2}}));
  EXPECT_EQ(stats.generation, generation + 2);
  EXPECT_GT(stats.live_bytes, 0u);
  EXPECT_TRUE(ok(Stats{})["live_bytes"].is_number_unsigned());
}

TEST_F(Executor, CheckFindsCorruptionInTheKeySpace) {
  // A den marker without its warren marker.
  put_raw(*marker_key("w", std::string_view("d")), "");
  EXPECT_EQ(refused(Check{}), "database corruption detected");
}

TEST_F(Executor, PoisonedStoreStillAnswersStatsAndPreconditions) {
  ok(Use{"c"});
  ok(Put{"a", parse("{}")});
  io().fail_writes(true);
  EXPECT_EQ(refused(Put{"b", parse("{}")}), "storage I/O or locking failure");
  io().fail_writes(false);
  constexpr std::string_view kPoisoned = "commit failed; close and reopen before further access";
  EXPECT_EQ(refused(Get{"a"}), kPoisoned);
  EXPECT_EQ(refused(Put{"b", parse("{}")}), kPoisoned);
  EXPECT_EQ(refused(Check{}), kPoisoned);
  EXPECT_EQ(refused(Warrens{}), kPoisoned);
  EXPECT_EQ(ok(Stats{})["records"], 1);
  // Preconditions are the session's business and come first.
  ok(Navigate{"/"});
  EXPECT_EQ(refused(Dens{}), kSelectWarrenUse);
  EXPECT_EQ(refused(Get{"a"}), kSelectCollection);
}

// skip without sort passes over matches a page of ids at a time, each
// page bounded by the records it may examine, so it reaches matches beyond
// that bound.
TEST_F(Executor, UnsortedSkipPassesOverMatchesPastTheExaminationLimit) {
  std::vector<Mutation> records;
  for (int i = 0; i < 12'000; ++i) {
    std::string id = std::to_string(100'000 + i);
    const bool match = i == 7 || i == 11'007 || i == 11'500;
    records.push_back(doc_record(kDefaultWarren, "c", id, Json{{"n", match ? 1 : 0}}));
  }
  put_raw(std::move(records));
  ok(Use{"c"});
  const auto skipping = [](std::uint64_t skip) {
    return Query{
        parse(R"({"n":1})"), std::vector<std::string>{}, 1, std::nullopt, std::nullopt, skip};
  };
  const Json third = ok(skipping(2));
  EXPECT_EQ(third["documents"], parse(R"([{"id":"111500"}])"));
  EXPECT_GT(third["examined"].get<std::uint64_t>(), 10'000u);
  for (std::uint64_t past : {3u, 4u, 1'000'000u}) {
    EXPECT_EQ(ok(skipping(past))["documents"], Json::array()) << past;
    EXPECT_TRUE(ok(skipping(past))["next_after"].is_null()) << past;
  }
  EXPECT_EQ(refused(skipping(1'000'001)), "skip must be between 0 and 1000000");
  // A null filter stays refused where the field is required.
  EXPECT_EQ(refused(Count{Json()}), "filter must be an object");
  EXPECT_EQ(refused(DeleteMany{Json()}), "filter must be an object");
  EXPECT_EQ(ok(Distinct{"n", Json()})["values"], parse("[0,1]"));
}

// Find, scan and page send each document as stored: the response must be
// byte for byte what serialising the decoded documents gives.
TEST_F(Executor, QueryResponsesSpliceStoredTextUnchanged) {
  ok(Use{"c"});
  const std::vector<std::string> documents = {
      R"({"z":1,"a":[1.5,-0.0,1e300,-9223372036854775808,18446744073709551615]})",
      R"({"s":"\u00e9\u0001\"\\/\n\t","nested":{"b":{},"a":[[],null,true]}})",
      R"({"\u007f":"\ud83d\ude00","":"","id":"\"q\u001f"})"};
  for (std::size_t i = 0; i < documents.size(); ++i) {
    const Json document = parse(documents[i]);
    const std::string id =
        document.contains("id") ? document["id"].get<std::string>() : "d" + std::to_string(i);
    ok(Put{id, document});
  }
  for (const Command& command :
       std::vector<Command>{Scan{}, Find{"z", parse("1")}, Page{100, std::nullopt, std::nullopt},
                            Page{1, std::nullopt, std::nullopt}}) {
    const ExecuteResult result = run(command);
    ASSERT_TRUE(result.has_value()) << op_name(command);
    const std::string wire = encode_response(to_response(result));
    const auto decoded = decode_response(wire);
    ASSERT_TRUE(decoded.has_value()) << wire;
    EXPECT_EQ(wire, encode_response(success(decoded->data))) << op_name(command);
    EXPECT_FALSE(decoded->data["documents"].empty()) << wire;
  }
}

// ---- The operator's commands ------------------------------------------------

class Operating : public Executor {
 protected:
  void SetUp() override {
    Executor::SetUp();
    backups_ = std::filesystem::path(path_).parent_path() / "backups";
    std::filesystem::create_directory(backups_);
    context_.backup_dir = backups_.string();
  }
  ExecuteResult operate(const Command& command, FileSystem* fs = nullptr) {
    context_.file_system = fs;
    return execute(store(), session_, command, kNoDocumentLimit, &context_);
  }
  std::vector<std::string> backup_files() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(backups_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::filesystem::path backups_;
  OperatorContext context_;
};

TEST_F(Operating, BackupNamesThatAreNotOneSafeFileName) {
  for (const std::string& name :
       {std::string(), std::string("."), std::string(".."), std::string(".hidden"),
        std::string("a/b"), std::string("../up"), std::string("x.auth"), std::string("a\0b", 3),
        std::string(256, 'n'), std::string("\xff")}) {
    EXPECT_FALSE(is_valid_backup_name(name)) << name;
    const ExecuteResult result = operate(Backup{name});
    ASSERT_FALSE(result.has_value()) << name;
    EXPECT_EQ(result.error(), kInvalidBackupName);
  }
  for (const std::string& name : {std::string(255, 'n'), std::string("nightly-1.tovik"),
                                  std::string("é.auth.old"), std::string("a b")}) {
    EXPECT_TRUE(is_valid_backup_name(name)) << name;
  }
  EXPECT_TRUE(backup_files().empty());
}

TEST_F(Operating, BackupIsRefusedWithoutADirectory) {
  EXPECT_EQ(refused(Backup{"b"}), kBackupNotEnabled);
  context_.backup_dir.clear();
  ASSERT_FALSE(operate(Backup{"b"}).has_value());
  EXPECT_EQ(operate(Backup{"b"}).error(), kBackupNotEnabled);
}

TEST_F(Operating, BackupCopiesTheServedDatabaseAndNeverOverwrites) {
  ok(Use{"orders"});
  ok(Put{"a1", parse(R"({"n":1})")});
  const std::uint64_t generation = store().generation();
  const ExecuteResult first = operate(Backup{"b1"});
  ASSERT_TRUE(first.has_value()) << first.error();
  EXPECT_EQ(encode_data(*first),
            R"({"backup":"b1","bytes":33554432,"generation":)" + std::to_string(generation) + "}");
  {
    auto fd = open_existing_database((backups_ / "b1").string());
    ASSERT_TRUE(fd.has_value());
    auto copy = Store::open(std::move(*fd), StoreConfig{});
    ASSERT_TRUE(copy.has_value());
    EXPECT_EQ(copy->generation(), generation);
    EXPECT_TRUE(get_document(*copy, kDefaultWarren, "orders", "a1")->has_value());
  }
  std::ofstream(backups_ / "b2.auth") << "{}";
  for (const std::string name : {"b1", "b2"}) {
    const ExecuteResult again = operate(Backup{name});
    ASSERT_FALSE(again.has_value());
    const std::string taken = name == "b1" ? "b1" : "b2.auth";
    EXPECT_EQ(again.error(), "destination already exists: " + (backups_ / taken).string());
  }
  // The served store goes on as before.
  ok(Put{"a2", parse(R"({"n":2})")});
  EXPECT_EQ(backup_files(), (std::vector<std::string>{"b1", "b2.auth"}));
}

TEST_F(Operating, FullDiskDuringBackupLeavesNothingAndTheStoreUntouched) {
  ok(Use{"orders"});
  ok(Put{"a1", parse(R"({"n":1})")});
  const std::uint64_t generation = store().generation();
  FaultyFileSystem full(real_file_system(), "write", 3, ENOSPC);
  const ExecuteResult result = operate(Backup{"b1"}, &full);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "No space left on device (os error 28)");
  EXPECT_TRUE(backup_files().empty());
  EXPECT_EQ(store().generation(), generation);
  EXPECT_TRUE(check_documents(store()).has_value());
  ok(Put{"a2", parse(R"({"n":2})")});
}

TEST_F(Operating, UsageAndServerStatus) {
  ok(Use{"orders"});
  ok(Put{"a1", parse(R"({"n":1})")});
  const Json usage = ok(Usage{});
  EXPECT_EQ(usage["warrens"][0]["dens"][0], parse(R"({"name":"orders","documents":1,"bytes":)" +
                                                  std::to_string(store().live_bytes()) + "}"));
  // Without a server behind the session there is no status to show.
  EXPECT_EQ(refused(Server{}), kNoServerStatus);
  ServerFigures figures;
  figures.started_at = "2026-01-02T03:04:05Z";
  figures.commands_by_op[Command(Get{}).index()] = 3;
  context_.figures = [&figures] { return figures; };
  const ExecuteResult status = operate(Server{});
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(parse(encode_data(*status))["commands"]["by_op"], parse(R"({"get":3})"));
}

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

DocumentWrite op(WriteKind kind, std::string id, std::string_view document = "{}") {
  return DocumentWrite{kind, std::move(id), kind == WriteKind::Delete ? Json() : parse(document)};
}

TEST_F(Executor, WriteRunsItsOperationsInOrderInOneCommit) {
  EXPECT_EQ(refused(Write{{op(WriteKind::Put, "a")}}), "select a collection with use <collection>");
  ok(Use{"c"});
  ok(Put{"old", parse(R"({"v":0})")});
  const std::uint64_t before = store().generation();
  // Each operation sees the ones before it: insert after delete, update of
  // a document put in the same request, delete of one just inserted.
  EXPECT_EQ(ok(Write{{op(WriteKind::Delete, "old"), op(WriteKind::Insert, "old", R"({"v":1})"),
                      op(WriteKind::Put, "p", R"({"a":1,"b":1})"),
                      op(WriteKind::Update, "p", R"({"b":2,"c":3})"), op(WriteKind::Insert, "gone"),
                      op(WriteKind::Delete, "gone")}}),
            parse(R"({"generation":)" + std::to_string(before + 1) + R"(,"written":6})"));
  EXPECT_EQ(store().generation(), before + 1);
  EXPECT_EQ(ok(Get{"old"}), parse(R"({"id":"old","v":1})"));
  EXPECT_EQ(ok(Get{"p"}), parse(R"({"a":1,"b":2,"c":3,"id":"p"})"));
  EXPECT_EQ(ok(Get{"gone"}), Json(nullptr));
}

TEST_F(Executor, AFailedOperationFailsTheWholeWrite) {
  ok(Use{"c"});
  ok(Put{"shiny", parse("{}")});
  const std::vector<DocumentWrite> good = {op(WriteKind::Put, "x"), op(WriteKind::Delete, "shiny"),
                                           op(WriteKind::Update, "x", R"({"n":1})")};
  struct Case {
    std::size_t at;  // where the bad operation goes, from 0
    DocumentWrite bad;
    std::string message;
  };
  const std::vector<Case> cases = {
      {0, op(WriteKind::Insert, "shiny"), "operation 1: shiny already exists"},
      {1, op(WriteKind::Update, "nobody", R"({"n":1})"), "operation 2: shiny does not exist"},
      {3, op(WriteKind::Insert, "x"), "operation 4: shiny already exists"},
      {3, op(WriteKind::Put, "", "{}"), "operation 4: invalid input or configuration"},
      {2, op(WriteKind::Put, "y", R"({"id":"z"})"), "operation 3: invalid input or configuration"},
  };
  const std::string file = file_bytes(path_);
  const std::uint64_t before = store().generation();
  for (const Case& c : cases) {
    std::vector<DocumentWrite> ops = good;
    ops.insert(ops.begin() + static_cast<std::ptrdiff_t>(c.at), c.bad);
    EXPECT_EQ(refused(Write{ops}), c.message);
    EXPECT_EQ(store().generation(), before);
    EXPECT_TRUE(file_bytes(path_) == file) << c.message;
  }
  EXPECT_EQ(ok(Get{"shiny"}), parse(R"({"id":"shiny"})"));
}

TEST_F(Executor, WriteLimits) {
  ok(Use{"c"});
  EXPECT_EQ(refused(Write{}), "write needs at least one operation");
  std::vector<DocumentWrite> ops;
  for (int i = 0; i < 1025; ++i) ops.push_back(op(WriteKind::Put, "k" + std::to_string(i)));
  EXPECT_EQ(refused(Write{ops}), "at most 1024 operations in one write");
  ops.pop_back();
  EXPECT_EQ(ok(Write{ops})["written"], 1024);
  // The server's document limit holds for each document written.
  const Write big{{op(WriteKind::Put, "a"), op(WriteKind::Put, "b", R"({"t":"0123456789"})")}};
  ExecuteResult limited = execute(store(), session_, big, 20);
  ASSERT_FALSE(limited.has_value());
  EXPECT_EQ(limited.error(), "operation 2: invalid input or configuration");
  // A write that would overflow the database is refused whole.
  std::vector<DocumentWrite> huge;
  for (int i = 0; i < 80; ++i) {
    huge.push_back(op(WriteKind::Put, "h" + std::to_string(i),
                      R"({"t":")" + std::string(250'000, 'x') + R"("})"));
  }
  const std::uint64_t before = store().generation();
  EXPECT_EQ(refused(Write{huge}), "configured database capacity exceeded");
  EXPECT_EQ(store().generation(), before);
  EXPECT_EQ(ok(Get{"h0"}), Json(nullptr));
}

TEST(ToResponse, WrapsDataAndMessages) {
  const Response good = to_response(ExecuteResult(Json{{"bye", true}}));
  EXPECT_EQ(encode_response(good), R"({"version":1,"ok":true,"data":{"bye":true},"error":null})");
  const Response bad =
      to_response(ExecuteResult(std::unexpected(std::string("shiny does not exist"))));
  EXPECT_EQ(encode_response(bad),
            R"({"version":1,"ok":false,"data":null,"error":)"
            R"({"code":"operation_failed","message":"shiny does not exist"}})");
}

}  // namespace
}  // namespace tovik::server
