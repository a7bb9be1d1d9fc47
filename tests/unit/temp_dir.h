// A directory of one test's own: made under TMPDIR (or /tmp) when the
// TempDir is constructed, removed with everything in it when it is
// destroyed. Only the standard library, so every layer's tests may use it.
// A directory that cannot be made throws, which the test framework reports
// as the failure of the test (or of its fixture) before any file is touched.
#pragma once

#include <cerrno>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include <stdlib.h>

namespace tovik {

class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "tovik-test") {
    std::string pattern =
        (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    path_ = std::move(pattern);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace tovik
