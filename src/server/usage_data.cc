// The bounded wire form of the space report, so that a database of many
// dens or warrens still answers in one response.
#include <algorithm>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "server/response_data.h"

namespace tovik::server {
namespace {

using DenName = std::pair<std::string_view, std::string_view>;  // warren, den

struct Chosen {
  std::set<DenName> dens;
  std::set<std::string_view> warrens;
  bool truncated = false;
};

// Larger first; among equals, the one that sorts first by name.
template <typename T>
bool larger(std::uint64_t a_bytes, const T& a_name, std::uint64_t b_bytes, const T& b_name) {
  if (a_bytes != b_bytes) return a_bytes > b_bytes;
  return a_name < b_name;
}

Chosen choose_rows(const UsageReport& report, std::size_t max_rows) {
  Chosen chosen;
  std::vector<std::pair<std::uint64_t, DenName>> dens;
  for (const auto& [warren_name, warren] : report.warrens) {
    for (const auto& [den_name, den] : warren.dens) {
      dens.push_back({den.bytes, DenName{warren_name, den_name}});
    }
  }
  const auto by_size = [](const auto& a, const auto& b) {
    return larger(a.first, a.second, b.first, b.second);
  };
  if (dens.size() > max_rows) {
    std::partial_sort(dens.begin(), dens.begin() + static_cast<std::ptrdiff_t>(max_rows),
                      dens.end(), by_size);
    dens.resize(max_rows);
    chosen.truncated = true;
  }
  for (const auto& [bytes, name] : dens) {
    chosen.dens.insert(name);
    chosen.warrens.insert(name.first);
  }
  // Warrens without a listed den fill the room that is left, largest first.
  std::vector<std::pair<std::uint64_t, std::string_view>> others;
  for (const auto& [warren_name, warren] : report.warrens) {
    if (!chosen.warrens.contains(warren_name)) others.push_back({warren.bytes, warren_name});
  }
  std::sort(others.begin(), others.end(), by_size);
  for (const auto& [bytes, name] : others) {
    if (chosen.warrens.size() >= max_rows) {
      chosen.truncated = true;
      break;
    }
    chosen.warrens.insert(name);
  }
  return chosen;
}

}  // namespace

Json usage_data(const UsageReport& report, std::size_t max_rows) {
  const Chosen chosen = choose_rows(report, max_rows);
  Json warrens = Json::array();
  for (const auto& [warren_name, warren] : report.warrens) {
    if (!chosen.warrens.contains(warren_name)) continue;
    Json dens = Json::array();
    for (const auto& [den_name, den] : warren.dens) {
      if (!chosen.dens.contains(DenName{warren_name, den_name})) continue;
      dens.push_back(Json{{"name", den_name}, {"documents", den.documents}, {"bytes", den.bytes}});
    }
    warrens.push_back(
        Json{{"name", warren_name}, {"bytes", warren.bytes}, {"dens", std::move(dens)}});
  }
  return Json{{"capacity_bytes", report.capacity_bytes},
              {"live_bytes", report.live_bytes},
              {"records", report.records},
              {"truncated", chosen.truncated},
              {"warrens", std::move(warrens)}};
}

}  // namespace tovik::server
