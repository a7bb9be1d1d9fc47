// Batch mode's output line and the checks it makes before any connection.
#include "cli/batch.h"

#include <sstream>

#include <gtest/gtest.h>

#include "document/json.h"

#include <stdlib.h>

namespace tovik::cli {
namespace {

TEST(BatchOutput, EnvelopeKeepsFixedKeyOrderAndSortedData) {
  server::Response ok =
      server::success(Json::parse(R"({"records":1,"generation":2,"id":"\u00e9/"})"));
  EXPECT_EQ(
      batch_output_line(ok),
      R"({"version":1,"ok":true,"data":{"generation":2,"id":"é/","records":1},"error":null})");

  server::Response refused = server::failure("operation_failed", "a \"quoted\"\nline");
  EXPECT_EQ(batch_output_line(refused),
            R"({"version":1,"ok":false,"data":null,"error":{"code":"operation_failed",)"
            R"("message":"a \"quoted\"\nline"}})");
}

TEST(BatchStart, PasswordIsRequiredBeforeConnecting) {
  ::unsetenv("TOVIK_PASSWORD");
  ::unsetenv("TOVIK_ADDR");
  InputReader input(-1);  // never read
  std::ostringstream out;
  // Port 1 has no server: the password check must come first.
  auto outcome = run_batch_with(std::string("127.0.0.1:1"), input, out);
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error().text(), "batch requires TOVIK_PASSWORD");
  // The address is parsed even before that.
  outcome = run_batch_with(std::string("10.0.0.5:7337"), input, out);
  ASSERT_FALSE(outcome.has_value());
  EXPECT_TRUE(outcome.error().text().starts_with("direct remote authentication is disabled"));
  EXPECT_EQ(out.str(), "");
}

}  // namespace
}  // namespace tovik::cli
