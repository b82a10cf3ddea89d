// The endpoint table: what each of the eleven operations sends.
#pragma once

#include <array>
#include <string_view>

#include "internal/form_body.hpp"

namespace tavrello::internal {

/// One request field: its name, and either the index of the operation's
/// argument that supplies the value or a fixed value.
struct Field {
  std::string_view name;
  int argument;  // index into the operation's string arguments, or -1
  std::string_view fixedValue;
};

struct Endpoint {
  const char* name;             // the operation's, for the exchange observer
  std::string_view path;        // appended to the service's origin
  std::string_view action;      // value of "api", empty when not sent
  std::array<Field, 3> fields;  // in the order they are set; unused ones have no name
  bool write = false;           // changes the service's state: sent at most once
};

enum Operation : int {
  kGetLastData,
  kGetDataBetween24Hours,
  kGetObjectsData,
  kGetGroups,
  kGetGroupsWithObject,
  kGetGroupMembers,
  kCreateGroup,
  kEditGroupName,
  kRemoveGroup,
  kAddGroupMember,
  kRemoveGroupMember,
  kOperationCount
};

inline constexpr std::string_view kGroupPath = "/api.partner.common.php";
constexpr Field arg(std::string_view name, int index) { return {name, index, {}}; }
constexpr Field fixed(std::string_view name, std::string_view value) { return {name, -1, value}; }

// Indexed by Operation. Fields are listed in the order they are set; the
// order of fields in the body is the encoder's.
inline constexpr std::array<Endpoint, kOperationCount> kOperations = {{
    // getLastData, getDataBetween24Hours, getObjectsData
    {"getLastData", "/api.get.member.location.last.php", "", {arg("member_key", 0)}},
    {"getDataBetween24Hours",
     "/api.get.member.location.list.php",
     "",
     {arg("member_key", 0), arg("from_date", 1), arg("to_date", 2)}},
    {"getObjectsData",
     "/api.get.member.info.all.php",
     "",
     {arg("page", 0), fixed("page_size", "100")}},
    {"getGroups", kGroupPath, "api.common.group.get.list", {}},
    {"getGroupsWithObject",
     kGroupPath,
     "api.common.group.get.object.group.list",
     {arg("member_key", 0)}},
    {"getGroupMembers",
     kGroupPath,
     "api.common.group.get.group.object.list",
     {arg("group_key", 0)}},
    {"createGroup", kGroupPath, "api.common.group.set.add", {arg("group_name", 0)}, true},
    {"editGroupName",
     kGroupPath,
     "api.common.group.set.modify",
     {arg("group_key", 0), arg("group_name", 1)},
     true},
    {"removeGroup", kGroupPath, "api.common.group.set.delete", {arg("group_key", 0)}, true},
    {"addGroupMember",
     kGroupPath,
     "api.common.group.set.object.add",
     {arg("group_key", 0), arg("member_key", 1)},
     true},
    {"removeGroupMember",
     kGroupPath,
     "api.common.group.set.object.delete",
     {arg("group_key", 0), arg("member_key", 1)},
     true},
}};

// The names, action codes and fixed values go into a body as they are.
constexpr bool isTablePlain() {
  for (const Endpoint& endpoint : kOperations) {
    if (!isFormPlain(endpoint.action)) return false;
    for (const Field& field : endpoint.fields) {
      // cppcheck-suppress useStlAlgorithm ; std::all_of is constexpr only from C++20
      if (!isFormPlain(field.name) || !isFormPlain(field.fixedValue)) return false;
    }
  }
  return true;
}
static_assert(isTablePlain());

// The writes are exactly the group changes: a new one cannot be left resendable by mistake.
constexpr bool areWritesTheChanges() {
  for (const Endpoint& endpoint : kOperations) {
    // cppcheck-suppress useStlAlgorithm ; std::all_of is constexpr only from C++20
    if (endpoint.write != (endpoint.action.find(".set.") != std::string_view::npos)) return false;
  }
  return true;
}
static_assert(areWritesTheChanges());

}  // namespace tavrello::internal
