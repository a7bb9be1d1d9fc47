// Projection: the fields a query hands back, on trees and on stored text.
#include <algorithm>
#include <utility>

#include "document/dotted_path.h"
#include "document/filter.h"

namespace tovik {

std::expected<Projection, DocError> Projection::compile(std::span<const std::string> paths) {
  Projection projection;
  projection.nodes_.emplace_back();
  for (const std::string& path : paths) {
    auto steps = split_query_path(path);
    if (!steps) return std::unexpected(DocError::message(steps.error()));
    std::size_t node = 0;
    for (std::string& step : *steps) {
      auto& children = projection.nodes_[node].children;
      const auto known = std::find_if(children.begin(), children.end(),
                                      [&](const auto& child) { return child.first == step; });
      if (known != children.end()) {
        node = known->second;
        continue;
      }
      const std::size_t added = projection.nodes_.size();
      children.emplace_back(std::move(step), added);
      projection.nodes_.emplace_back();
      node = added;
    }
    projection.nodes_[node].whole = true;
  }
  return projection;
}

std::optional<Json> Projection::project(const Json& value, std::size_t node) const {
  if (nodes_[node].whole) return value;
  if (value.is_object()) {
    Json out = Json::object();
    const auto& members = *value.get_ptr<const Json::object_t*>();
    for (const auto& [name, child] : nodes_[node].children) {
      const auto found = members.find(name);
      if (found == members.end()) continue;
      if (auto kept = project(found->second, child)) out[name] = std::move(*kept);
    }
    if (out.empty()) return std::nullopt;
    return out;
  }
  if (value.is_array()) {
    Json out = Json::array();
    for (const Json& element : value) {
      if (!element.is_object()) continue;
      if (auto kept = project(element, node)) out.push_back(std::move(*kept));
    }
    if (out.empty()) return std::nullopt;
    return out;
  }
  return std::nullopt;
}

Json Projection::apply(const Json& document) const {
  Json out = Json::object();
  if (!document.is_object()) return out;
  if (const auto id = document.find("id"); id != document.end()) out["id"] = *id;
  if (auto kept = project(document, 0)) out.update(*kept);
  return out;
}

std::expected<std::string, StoreError> Projection::apply_stored(std::string_view stored) const {
  auto document = parse_json(stored);
  if (!document || !document->is_object()) return std::unexpected(StoreError::Corrupt);
  return dump_compact(apply(*document));
}

}  // namespace tovik
