#include "cli/data_transfer.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <variant>

#include <gtest/gtest.h>

#include "core/file_system.h"
#include "server/protocol.h"
#include "temp_dir.h"

namespace tovik::cli {
namespace {

// A server that reports the given limits and takes every write, noting the
// size of each request body.
struct FakeServer {
  Json status;
  std::vector<std::size_t> bodies;

  Sender sender() {
    return [this](const server::Command& command) -> std::expected<server::Response, std::string> {
      if (std::holds_alternative<server::Server>(command)) return server::success(status);
      bodies.push_back(server::encode_request(command).size());
      return server::success(Json{{"written", 1}});
    };
  }
};

std::string write_lines(const std::string& text) {
  char name[] = "/tmp/import-test-XXXXXX";
  const int fd = ::mkstemp(name);
  ::close(fd);
  std::ofstream(name) << text;
  return name;
}

TEST(ImportThroughServer, PacksWithinTheLimitsTheServerReports) {
  std::string text;
  for (int i = 0; i < 100; ++i)
    text += R"({"id":"k)" + std::to_string(i) + R"(","t":")" + std::string(100, 'x') + "\"}\n";
  const std::string path = write_lines(text);
  FakeServer small{Json{{"max_request_bytes", 2048}, {"max_document_bytes", 200}}, {}};
  auto report = import_through_server(path, small.sender());
  ASSERT_TRUE(report.has_value()) << report.error().text();
  EXPECT_EQ(report->imported, 100u);
  EXPECT_GT(small.bodies.size(), 5u);
  for (std::size_t body : small.bodies) EXPECT_LE(body, 2048u);
  // A server that reports nothing: today's 1 MiB, so one request.
  FakeServer silent{Json::object(), {}};
  ASSERT_TRUE(import_through_server(path, silent.sender()).has_value());
  EXPECT_EQ(silent.bodies.size(), 1u);
  // A document over the reported limit names its line; nothing is sent.
  const std::string big =
      write_lines(text + R"({"id":"big","t":")" + std::string(300, 'x') + "\"}\n");
  small.bodies.clear();
  EXPECT_EQ(import_through_server(big, small.sender()).error().text(),
            "line 101: document larger than 200 bytes; nothing was sent");
  EXPECT_TRUE(small.bodies.empty());
  ::unlink(path.c_str());
  ::unlink(big.c_str());
}

// A failed write or sync of the export file removes the partial file and
// names the path with the system's error.
TEST(ExportThroughServer, AFailedWriteOrSyncLeavesNoFile) {
  const TempDir dir("tovik-export");
  const Sender one_page =
      [](const server::Command&) -> std::expected<server::Response, std::string> {
    return server::success(
        Json{{"documents", Json::array({Json{{"id", "a"}}, Json{{"id", "b"}}})}});
  };
  FaultyFileSystem faults(real_file_system());
  TransferOptions options;
  options.file_system = &faults;
  const std::string path = dir.path() + "/out.jsonl";
  for (const auto& [operation, error] : {std::pair{"write", ENOSPC}, {"sync", EIO}}) {
    faults.arm(operation, 1, error);
    auto exported = export_through_server(path, one_page, options);
    ASSERT_FALSE(exported.has_value()) << operation;
    EXPECT_EQ(exported.error().text(), path + ": " + os_error_text(error));
    EXPECT_FALSE(std::filesystem::exists(path)) << operation;
  }
  faults.disarm();
  EXPECT_EQ(export_through_server(path, one_page, options).value(), 2u);
  std::ifstream written(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}),
            "{\"id\":\"a\"}\n{\"id\":\"b\"}\n");
}

}  // namespace
}  // namespace tovik::cli
