#include "cli/line_editor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include <pty.h>

namespace tovik::cli {
namespace {

using Words = std::vector<std::string_view>;

TEST(ShellCompletion, FirstWordIsACommandWord) {
  EXPECT_EQ(complete_shell_word("sta").insert, "ts ");
  EXPECT_EQ(complete_shell_word("  dr").insert, "op-empty ");
  EXPECT_EQ(complete_shell_word("re").insert, "connect ");
  // Only one letter in common: nothing to add, so the choices are shown.
  const Completion s = complete_shell_word("s");
  EXPECT_EQ(s.insert, "");
  EXPECT_EQ(s.choices, (Words{"scan", "show", "stats"}));
  EXPECT_EQ(complete_shell_word("").choices.size(), 18u);
  EXPECT_TRUE(complete_shell_word("zap").choices.empty());
  EXPECT_EQ(complete_shell_word("zap").insert, "");
}

TEST(ShellCompletion, SecondWordDependsOnTheCommand) {
  EXPECT_EQ(complete_shell_word("create w").insert, "arren ");
  EXPECT_EQ(complete_shell_word("drop-empty \td").insert, "en ");
  EXPECT_EQ(complete_shell_word("show c").insert, "ollections ");
  EXPECT_EQ(complete_shell_word("show ").choices,
            (Words{"collections", "dens", "shinies", "warrens"}));
  EXPECT_EQ(complete_shell_word("create ").choices, (Words{"den", "warren"}));
  // Names, ids and documents are the user's own.
  EXPECT_EQ(complete_shell_word("get d").insert, "");
  EXPECT_EQ(complete_shell_word("create den d").insert, "");
  EXPECT_TRUE(complete_shell_word("create den d").choices.empty());
}

// An editor on a fresh pseudo-terminal; keys are queued on the master side
// before each read (the little echo they cause fits in the terminal).
class EditorOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
    out_ = ::fdopen(::dup(slave_), "w");
    ASSERT_NE(out_, nullptr);
    editor_ = std::make_unique<LineEditor>(slave_, out_);
    ASSERT_TRUE(editor_->ready());
  }
  void TearDown() override {
    editor_.reset();
    if (out_ != nullptr) std::fclose(out_);
    ::close(slave_);
    ::close(master_);
  }
  void type(std::string_view keys) {
    ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  std::string line() {
    auto got = editor_->next_line("tovik> ");
    EXPECT_TRUE(got.has_value());
    if (!got || !*got) return "<none>";
    return **got;
  }
  std::string failure() {
    auto got = editor_->next_line("tovik> ");
    return got ? std::string("<no failure>") : got.error().text();
  }

  int master_ = -1;
  int slave_ = -1;
  std::FILE* out_ = nullptr;
  std::unique_ptr<LineEditor> editor_;
};

TEST_F(EditorOnPty, EditsRecallsAndCompletes) {
  type("  stats  \r");
  EXPECT_EQ(line(), "stats");
  type("\x1b[A\r");
  EXPECT_EQ(line(), "stats");
  type("gt a1\x1b[D\x1b[D\x1b[D\x1b[De\r");
  EXPECT_EQ(line(), "get a1");
  type("che\t\r");
  EXPECT_EQ(line(), "check");
  type("caf\xc3\xa9 \xf0\x9f\x90\x87\r");
  EXPECT_EQ(line(), "caf\xc3\xa9 \xf0\x9f\x90\x87");
  type("\x04");
  auto end = editor_->next_line("tovik> ");
  ASSERT_TRUE(end.has_value());
  EXPECT_FALSE(end->has_value());
}

TEST_F(EditorOnPty, RefusesWhatIsNotUtf8) {
  const std::string kMessage = "stream did not contain valid UTF-8";
  for (std::string_view bad : {"get \xff\r", "get \xe2\x82x\r", "get \xc0\xaf\r", "\xed\xa0\x80\r",
                               "\xf4\x90\x80\x80\r"}) {
    type(bad);
    EXPECT_EQ(failure(), kMessage) << bad;
  }
  // A bad byte deleted before Enter is no longer part of the line.
  type("get a\xff\x7f\r");
  EXPECT_EQ(line(), "get a");
}

}  // namespace
}  // namespace tovik::cli
