// The space report over real snapshots: what each warren and den holds, and
// that the parts add up to the store's own figures.
#include "document/usage.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "doc_fixture.h"
#include "document/keys.h"

namespace tovik {
namespace {

using testing::parse;

std::uint64_t size_of(const Mutation& record) {
  return 12 + record.key.size() + record.value->size();
}

class Usage : public testing::DocFixture {
 protected:
  UsageReport measure() {
    auto report = measure_usage(store());
    EXPECT_TRUE(report.has_value());
    return report ? *report : UsageReport{};
  }
  static Mutation marker(std::string_view warren, std::optional<std::string_view> den) {
    return Mutation{*marker_key(warren, den), std::string()};
  }
};

TEST_F(Usage, EmptyDatabaseHasNoWarrens) {
  const UsageReport report = measure();
  EXPECT_EQ(report.capacity_bytes, 16'777'152u);
  EXPECT_EQ(report.live_bytes, 0u);
  EXPECT_EQ(report.records, 0u);
  EXPECT_TRUE(report.warrens.empty());
}

TEST_F(Usage, DocumentsCountTowardDenAndWarrenAndMarkersTowardTheWarrenOnly) {
  const std::vector<Mutation> records = {
      marker("shop", std::nullopt),
      marker("shop", "orders"),
      marker("shop", "empty"),
      doc_record("shop", "orders", "a1", parse(R"({"n":1})")),
      doc_record("shop", "orders", "a2"),
      marker("zoo", std::nullopt),
      doc_record("zoo", "cats", "tom"),
      // A den of the default warren under its plain key.
      Mutation{"legacy" + std::string(1, '\0') + "x", R"({"id":"x"})"},
  };
  put_raw(records);
  const UsageReport report = measure();

  const WarrenUsage& shop = report.warrens.at("shop");
  EXPECT_EQ(shop.bytes, size_of(records[0]) + size_of(records[1]) + size_of(records[2]) +
                            size_of(records[3]) + size_of(records[4]));
  ASSERT_EQ(shop.dens.size(), 2u);  // "empty" exists only as its marker
  EXPECT_EQ(shop.dens.at("empty").documents, 0u);
  EXPECT_EQ(shop.dens.at("empty").bytes, 0u);
  EXPECT_EQ(shop.dens.at("orders").documents, 2u);
  EXPECT_EQ(shop.dens.at("orders").bytes, size_of(records[3]) + size_of(records[4]));
  EXPECT_EQ(report.warrens.at("zoo").dens.at("cats").documents, 1u);
  EXPECT_EQ(report.warrens.at("default").dens.at("legacy").bytes, size_of(records[7]));

  std::uint64_t total = 0;
  for (const auto& [name, warren] : report.warrens) total += warren.bytes;
  EXPECT_EQ(total, report.live_bytes);
  EXPECT_EQ(report.records, records.size());
  std::vector<std::string> names;
  for (const auto& [name, warren] : report.warrens) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"default", "shop", "zoo"}));
}

TEST_F(Usage, KeyOfNoKnownFormIsCorruption) {
  put_raw(std::string("\0X1\0junk", 8), "");
  auto report = measure_usage(store());
  ASSERT_FALSE(report.has_value());
  EXPECT_EQ(report.error(), DocError(StoreError::Corrupt));
}

}  // namespace
}  // namespace tovik
