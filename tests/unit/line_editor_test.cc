#include "cli/line_editor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cli/shell_commands.h"

#include <pty.h>

namespace tovik::cli {
namespace {

using Words = std::vector<std::string>;

TEST(ShellCompletion, FirstWordIsACommandWord) {
  EXPECT_EQ(complete_shell_word("sta").insert, "ts ");
  // drop and drop-empty: only their common start.
  EXPECT_EQ(complete_shell_word("  dr").insert, "op");
  EXPECT_EQ(complete_shell_word("  drop-").insert, "empty ");
  EXPECT_EQ(complete_shell_word("re").insert, "connect ");
  // Only one letter in common: nothing to add, so the choices are shown.
  const Completion s = complete_shell_word("s");
  EXPECT_EQ(s.insert, "");
  EXPECT_EQ(s.choices, (Words{"scan", "show", "stats"}));
  // Every word of the shell's table, and no other.
  Words all;
  for (const ShellCommandRow& row : shell_commands()) all.emplace_back(row.word);
  std::sort(all.begin(), all.end());
  EXPECT_EQ(complete_shell_word("").choices, all);
  EXPECT_EQ(complete_shell_word("qu").choices, (Words{"query", "quit"}));
  EXPECT_EQ(complete_shell_word("imp").insert, "ort ");
  EXPECT_TRUE(complete_shell_word("zap").choices.empty());
  EXPECT_EQ(complete_shell_word("zap").insert, "");
}

TEST(ShellCompletion, SecondWordDependsOnTheCommand) {
  EXPECT_EQ(complete_shell_word("create w").insert, "arren ");
  EXPECT_EQ(complete_shell_word("drop-empty \td").insert, "en ");
  EXPECT_EQ(complete_shell_word("show c").insert, "ollections ");
  EXPECT_EQ(complete_shell_word("show ").choices,
            (Words{"collections", "dens", "server", "settings", "shinies", "warrens"}));
  EXPECT_EQ(complete_shell_word("create ").choices, (Words{"den", "warren"}));
  // Names, ids and documents are the user's own.
  EXPECT_EQ(complete_shell_word("get d").insert, "");
  EXPECT_EQ(complete_shell_word("create den d").insert, "");
  EXPECT_TRUE(complete_shell_word("create den d").choices.empty());
}

TEST(ShellCompletion, NamesFromTheServerAndLocalPaths) {
  std::vector<NameKind> asked;
  CompletionSources sources;
  sources.names = [&](NameKind kind) {
    asked.push_back(kind);
    return kind == NameKind::kWarrens ? Words{"shop", "shed", "bad name"} : Words{"orders"};
  };
  EXPECT_EQ(complete_shell_word("use or", sources).insert, "ders ");
  EXPECT_EQ(complete_shell_word("use /sho", sources).insert, "p ");
  EXPECT_EQ(complete_shell_word("drop-empty warren s", sources).insert, "h");
  EXPECT_EQ(complete_shell_word("drop-empty warren sh", sources).choices, (Words{"shed", "shop"}));
  EXPECT_EQ(complete_shell_word("drop-empty den o", sources).insert, "rders ");
  EXPECT_EQ(complete_shell_word("drop-empty w", sources).insert, "arren ");
  EXPECT_EQ(complete_shell_word("create den o", sources).insert, "");
  EXPECT_EQ(asked, (std::vector<NameKind>{NameKind::kHere, NameKind::kWarrens, NameKind::kWarrens,
                                          NameKind::kWarrens, NameKind::kDens}));

  char pattern[] = "/tmp/tovik-complete-XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  ::mkdir((dir + "/data").c_str(), 0700);
  std::fclose(std::fopen((dir + "/data.jsonl").c_str(), "w"));
  std::fclose(std::fopen((dir + "/data/a b.jsonl").c_str(), "w"));
  std::fclose(std::fopen((dir + "/.hidden").c_str(), "w"));
  sources.paths = true;
  EXPECT_EQ(complete_shell_word("import " + dir + "/d", sources).insert, "ata");
  EXPECT_EQ(complete_shell_word("import " + dir + "/data", sources).choices,
            (Words{dir + "/data.jsonl", dir + "/data/"}));
  EXPECT_EQ(complete_shell_word("export " + dir + "/data/", sources).insert, "a b.jsonl ");
  EXPECT_EQ(complete_shell_word("import " + dir + "/data.", sources).insert, "jsonl ");
  EXPECT_EQ(complete_shell_word("import " + dir + "/.h", sources).insert, "idden ");
  EXPECT_EQ(complete_shell_word("import " + dir + "/da", {}).insert, "");
  std::filesystem::remove_all(dir);
}

TEST(ShellHistory, KeepsTheLastLinesPrivately) {
  char pattern[] = "/tmp/tovik-history-XXXXXX";
  const std::string path = std::string(::mkdtemp(pattern)) + "/history";
  std::ostringstream err;
  {
    HistoryFile history(path, err);
    EXPECT_TRUE(history.load().empty());
    for (std::size_t i = 0; i < kHistoryLines + 200; ++i) history.add("get " + std::to_string(i));
    history.add(" put secret {}");
    history.add(std::string(kMaxHistoryLine + 1, 'x'));
  }
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  HistoryFile again(path, err);
  const auto lines = again.load();
  ASSERT_EQ(lines.size(), kHistoryLines);
  EXPECT_EQ(lines.front(), "get 200");
  EXPECT_EQ(lines.back(), "get " + std::to_string(kHistoryLines + 199));
  EXPECT_EQ(err.str(), "");
  HistoryFile nowhere("/nonexistent-dir/history", err);
  nowhere.add("stats");
  nowhere.add("stats");
  EXPECT_EQ(err.str(),
            "History not kept: cannot write /nonexistent-dir/history: No such file or directory\n");
  std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}

// An editor on a fresh pseudo-terminal; keys are queued on the master side
// before each read, and a thread drains what the editor draws so its
// output never waits for a reader.
class EditorOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
    out_ = ::fdopen(::dup(slave_), "w");
    ASSERT_NE(out_, nullptr);
    drain_ = std::thread([fd = master_] {
      char buffer[4096];
      while (::read(fd, buffer, sizeof buffer) > 0) {
      }
    });
    editor_ = std::make_unique<LineEditor>(slave_, out_);
    ASSERT_TRUE(editor_->ready());
  }
  void TearDown() override {
    editor_.reset();
    if (out_ != nullptr) std::fclose(out_);
    // With the last slave descriptor gone the drain reads EIO and stops.
    ::close(slave_);
    if (drain_.joinable()) drain_.join();
    ::close(master_);
  }
  // Sends keys once the editor has switched the terminal to character
  // mode, as a person would: keys sent earlier are line-edited by the
  // terminal itself.
  InputLine read_typed(std::string keys) {
    std::thread typist([this, keys] {
      termios mode{};
      for (int i = 0; i < 5000; ++i) {
        if (::tcgetattr(master_, &mode) == 0 && (mode.c_lflag & ICANON) == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      (void)!::write(master_, keys.data(), keys.size());
    });
    auto got = editor_->next_line("tovik> ");
    typist.join();
    return got;
  }
  std::string line(std::string keys) {
    auto got = read_typed(std::move(keys));
    EXPECT_TRUE(got.has_value());
    if (!got || !*got) return "<none>";
    return **got;
  }
  std::string failure(std::string keys) {
    auto got = read_typed(std::move(keys));
    return got ? std::string("<no failure>") : got.error().text();
  }

  int master_ = -1;
  int slave_ = -1;
  std::FILE* out_ = nullptr;
  std::unique_ptr<LineEditor> editor_;
  std::thread drain_;
};

TEST_F(EditorOnPty, EditsRecallsAndCompletes) {
  EXPECT_EQ(line("stats  \r"), "stats");
  // A line typed with a leading blank is left out of history.
  EXPECT_EQ(line("  check \r"), "check");
  EXPECT_EQ(line("\x1b[A\r"), "stats");
  EXPECT_EQ(line("gt a1\x1b[D\x1b[D\x1b[D\x1b[De\r"), "get a1");
  EXPECT_EQ(line("che\t\r"), "check");
  EXPECT_EQ(line("caf\xc3\xa9 \xf0\x9f\x90\x87\r"), "caf\xc3\xa9 \xf0\x9f\x90\x87");
  auto end = read_typed("\x04");
  ASSERT_TRUE(end.has_value());
  EXPECT_FALSE(end->has_value());
}

TEST_F(EditorOnPty, RefusesWhatIsNotUtf8) {
  const std::string kMessage = "stream did not contain valid UTF-8";
  for (std::string_view bad : {"get \xff\r", "get \xe2\x82x\r", "get \xc0\xaf\r", "\xed\xa0\x80\r",
                               "\xf4\x90\x80\x80\r"}) {
    EXPECT_EQ(failure(std::string(bad)), kMessage) << bad;
  }
  // A bad byte deleted before Enter is no longer part of the line.
  EXPECT_EQ(line("get a\xff\x7f\r"), "get a");
}

}  // namespace
}  // namespace tovik::cli
