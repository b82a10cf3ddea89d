// The endpoint table: what each of the eleven operations sends.
#pragma once

#include <array>
#include <string_view>

namespace tavrello::internal {

/// One request field: its name, and either the index of the operation's
/// argument that supplies the value or a fixed value.
struct FieldSpec {
  std::string_view name;
  int argument;  // index into the operation's string arguments, or -1
  std::string_view fixedValue;
};

struct OperationSpec {
  std::string_view name;    // the public member function
  std::string_view path;    // appended to "http://" + host
  std::string_view action;  // value of "api", empty when not sent
  std::array<FieldSpec, 3> fields;
  int fieldCount;
  int argumentCount;  // string arguments before the handler
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

extern const std::array<OperationSpec, kOperationCount> kOperations;

}  // namespace tavrello::internal
