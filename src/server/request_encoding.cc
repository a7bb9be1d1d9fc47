// Encoding requests: each command as a sorted object, "op" among them,
// inside the version envelope. The client side of the wire schema.
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "server/protocol.h"

namespace tovik::server {
namespace {

Json equality_json(const Equality& equality) {
  return Json{{"field", equality.field}, {"value", equality.value}};
}

Json write_op_json(const DocumentWrite& op) {
  Json object{{"id", op.id}, {"op", write_op_name(op.kind)}};
  if (op.kind != WriteKind::Delete) object["document"] = op.document;
  return object;
}

// The fields of each command as a sorted object, "op" among them.
Json command_json(const Command& command) {
  Json object = std::visit(
      [](const auto& c) -> Json {
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, Create> || std::is_same_v<T, DropEmpty>) {
          return Json{{"kind", namespace_kind_name(c.kind)}, {"name", c.name}};
        } else if constexpr (std::is_same_v<T, Navigate> || std::is_same_v<T, Backup>) {
          return Json{{"name", c.name}};
        } else if constexpr (std::is_same_v<T, Auth>) {
          return Json{{"username", c.username}, {"password", c.password}};
        } else if constexpr (std::is_same_v<T, Use>) {
          return Json{{"collection", c.collection}};
        } else if constexpr (std::is_same_v<T, Put> || std::is_same_v<T, Insert>) {
          return Json{{"id", c.id}, {"document", c.document}};
        } else if constexpr (std::is_same_v<T, Update>) {
          return Json{{"id", c.id}, {"fields", c.fields}};
        } else if constexpr (std::is_same_v<T, Page>) {
          Json page = Json::object();
          page["limit"] = c.limit;
          page["after"] = c.after ? Json(*c.after) : Json(nullptr);
          page["filter"] = c.filter ? equality_json(*c.filter) : Json(nullptr);
          return page;
        } else if constexpr (std::is_same_v<T, Get> || std::is_same_v<T, Delete>) {
          return Json{{"id", c.id}};
        } else if constexpr (std::is_same_v<T, Find>) {
          return Json{{"field", c.field}, {"value", c.value}};
        } else if constexpr (std::is_same_v<T, Write>) {
          Json ops = Json::array();
          for (const DocumentWrite& op : c.ops) ops.push_back(write_op_json(op));
          return Json{{"ops", std::move(ops)}};
        } else if constexpr (std::is_same_v<T, Query>) {
          Json query = Json::object();
          query["filter"] = c.filter;
          query["fields"] = c.fields ? Json(*c.fields) : Json(nullptr);
          query["limit"] = c.limit;
          query["after"] = c.after ? Json(*c.after) : Json(nullptr);
          return query;
        } else if constexpr (std::is_same_v<T, Count>) {
          return Json{{"filter", c.filter}};
        } else {
          return Json::object();
        }
      },
      command);
  object["op"] = op_name(command);
  return object;
}

// Sorted keys throughout, so "command" comes before "version".
std::string encode_request_parts(std::uint32_t version, const Command& command) {
  Json envelope = Json::object();
  envelope["version"] = version;
  envelope["command"] = command_json(command);
  return dump_compact(envelope);
}

}  // namespace

std::string encode_request(const Request& request) {
  return encode_request_parts(request.version, request.command);
}

std::string encode_request(const Command& command) {
  return encode_request_parts(kProtocolVersion, command);
}

}  // namespace tovik::server
