// init's data directory: made level by level through the file seam, so a
// refused level is the command's failure with the system's error.
#include "cli/provisioning.h"

#include <errno.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "core/file_system.h"
#include "temp_dir.h"

namespace tovik::cli {
namespace {

TEST(CreateDirectories, EachMissingLevelOrTheSystemsError) {
  struct Row {
    const char* operation;  // the failing call, "" for none
    int error;
    FaultyFileSystem::Repeat repeat;
    const char* expected;  // "" when the directory is made
  };
  using enum FaultyFileSystem::Repeat;
  const Row rows[] = {
      {"", 0, Once, ""},
      {"make_directory", EACCES, Once, "Permission denied (os error 13)"},
      // A level that cannot be looked up is made anyway; the final check fails.
      {"is_directory", EIO, Always, "Input/output error (os error 5)"},
  };
  for (const Row& row : rows) {
    const TempDir temp("tovik-provision");
    const std::string dir = temp.path() + "/a/b";
    FaultyFileSystem faults(real_file_system(), row.operation, 1, row.error, row.repeat);
    auto made = create_directories(dir, faults);
    if (*row.expected == '\0') {
      EXPECT_TRUE(made.has_value()) << made.error().text();
      EXPECT_TRUE(std::filesystem::is_directory(dir));
    } else {
      ASSERT_FALSE(made.has_value()) << row.operation;
      EXPECT_EQ(made.error().text(), row.expected);
    }
  }
  // A file standing where a level belongs.
  const TempDir temp("tovik-provision");
  std::ofstream(temp.path() + "/a") << "x";
  EXPECT_EQ(create_directories(temp.path() + "/a/b").error().text(),
            "Not a directory (os error 20)");
}

}  // namespace
}  // namespace tovik::cli
