#include "internal/operations.hpp"

namespace tavrello::internal {

namespace {
constexpr std::string_view kGroupPath = "/api.partner.common.php";
constexpr FieldSpec arg(std::string_view name, int index) { return {name, index, {}}; }
constexpr FieldSpec fixed(std::string_view name, std::string_view value) {
  return {name, -1, value};
}
}  // namespace

// Indexed by Operation. Fields are listed in the order they are set; the
// order of fields in the body is the encoder's.
const std::array<OperationSpec, kOperationCount> kOperations = {{
    {"getLastData", "/api.get.member.location.last.php", "", {arg("member_key", 0)}, 1, 1},
    {"getDataBetween24Hours",
     "/api.get.member.location.list.php",
     "",
     {arg("member_key", 0), arg("from_date", 1), arg("to_date", 2)},
     3,
     3},
    {"getObjectsData",
     "/api.get.member.info.all.php",
     "",
     {arg("page", 0), fixed("page_size", "100")},
     2,
     1},
    {"getGroups", kGroupPath, "api.common.group.get.list", {}, 0, 0},
    {"getGroupsWithObject",
     kGroupPath,
     "api.common.group.get.object.group.list",
     {arg("member_key", 0)},
     1,
     1},
    {"getGroupMembers",
     kGroupPath,
     "api.common.group.get.group.object.list",
     {arg("group_key", 0)},
     1,
     1},
    {"createGroup", kGroupPath, "api.common.group.set.add", {arg("group_name", 0)}, 1, 1},
    {"editGroupName",
     kGroupPath,
     "api.common.group.set.modify",
     {arg("group_key", 0), arg("group_name", 1)},
     2,
     2},
    {"removeGroup", kGroupPath, "api.common.group.set.delete", {arg("group_key", 0)}, 1, 1},
    {"addGroupMember",
     kGroupPath,
     "api.common.group.set.object.add",
     {arg("group_key", 0), arg("member_key", 1)},
     2,
     2},
    {"removeGroupMember",
     kGroupPath,
     "api.common.group.set.object.delete",
     {arg("group_key", 0), arg("member_key", 1)},
     2,
     2},
}};

}  // namespace tavrello::internal
