#include "group_store.hpp"

#include <algorithm>
#include <utility>

#include "replies.hpp"

namespace tavrello::sandbox {
namespace {

Reply unknownGroup(const std::string& key) {
  return fail("unknown_group", "no group has the key " + echo(key));
}

}  // namespace

GroupStore::GroupStore(const Members& members, std::vector<StoredGroup> seeded,
                       std::uint64_t nextNumber)
    : members_(members),
      seeded_(std::move(seeded)),
      seededNextNumber_(nextNumber),
      groups_(seeded_),
      nextNumber_(nextNumber) {}

std::vector<StoredGroup>::const_iterator GroupStore::find(const std::string& key) const {
  return std::find_if(groups_.begin(), groups_.end(),
                      [&](const StoredGroup& group) { return group.key == key; });
}

std::vector<StoredGroup>::iterator GroupStore::find(const std::string& key) {
  return std::find_if(groups_.begin(), groups_.end(),
                      [&](const StoredGroup& group) { return group.key == key; });
}

std::vector<Group> GroupStore::snapshot() const {
  std::vector<Group> groups;
  const std::lock_guard<std::mutex> lock(mutex_);
  for (const StoredGroup& stored : groups_) {
    Group& group = groups.emplace_back(Group{stored.key, stored.name, {}});
    for (const std::size_t index : stored.members) {
      group.memberKeys.push_back(members_.all()[index].key);
    }
  }
  return groups;
}

void GroupStore::reset() {
  const std::lock_guard<std::mutex> lock(mutex_);
  groups_ = seeded_;
  nextNumber_ = seededNextNumber_;
}

Reply GroupStore::list(const Fields&) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  Json entries = Json::array();
  for (const StoredGroup& group : groups_) {
    entries.push_back(Json{{"group_key", group.key},
                           {"group_name", group.name},
                           {"member_count", group.members.size()}});
  }
  return ok(Json{{"groups", std::move(entries)}});
}

Reply GroupStore::ofMember(const Fields& fields) const {
  const std::string& key = field(fields, "member_key");
  const std::size_t* index = members_.find(key);
  if (index == nullptr) return unknownMember(key);
  const std::lock_guard<std::mutex> lock(mutex_);
  Json entries = Json::array();
  for (const StoredGroup& group : groups_) {
    if (group.members.count(*index) != 0) {
      entries.push_back(Json{{"group_key", group.key}, {"group_name", group.name}});
    }
  }
  return ok(Json{{"member_key", key}, {"groups", std::move(entries)}});
}

Reply GroupStore::membersOf(const Fields& fields) const {
  const std::string& key = field(fields, "group_key");
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto group = find(key);
  if (group == groups_.end()) return unknownGroup(key);
  Json entries = Json::array();
  for (const std::size_t index : group->members) {
    const Member& member = members_.all()[index];
    entries.push_back(Json{{"member_key", member.key}, {"name", member.name}});
  }
  return ok(Json{
      {"group_key", group->key}, {"group_name", group->name}, {"members", std::move(entries)}});
}

Reply GroupStore::create(const Fields& fields) {
  const std::string& name = field(fields, "group_name");
  if (auto refusal = checkGroupName(name)) return std::move(*refusal);
  const std::lock_guard<std::mutex> lock(mutex_);
  if (groups_.size() >= kMaxGroups) {
    return fail("group_limit",
                "the sandbox holds at most " + std::to_string(kMaxGroups) + " groups");
  }
  StoredGroup& group = groups_.emplace_back();
  group.key = groupKey(nextNumber_++);
  group.name = name;
  return ok(Json{{"group_key", group.key}, {"group_name", group.name}});
}

Reply GroupStore::rename(const Fields& fields) {
  const std::string& key = field(fields, "group_key");
  const std::string& name = field(fields, "group_name");
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto group = find(key);
  if (group == groups_.end()) return unknownGroup(key);
  if (auto refusal = checkGroupName(name)) return std::move(*refusal);
  group->name = name;
  return ok(Json{{"group_key", group->key}, {"group_name", group->name}});
}

Reply GroupStore::remove(const Fields& fields) {
  const std::string& key = field(fields, "group_key");
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto group = find(key);
  if (group == groups_.end()) return unknownGroup(key);
  groups_.erase(group);
  return ok(Json{{"group_key", key}});
}

Reply GroupStore::addMember(const Fields& fields) { return changeMembership(fields, true); }

Reply GroupStore::removeMember(const Fields& fields) { return changeMembership(fields, false); }

Reply GroupStore::changeMembership(const Fields& fields, bool add) {
  const std::string& groupKeyText = field(fields, "group_key");
  const std::string& memberKeyText = field(fields, "member_key");
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto group = find(groupKeyText);
  if (group == groups_.end()) return unknownGroup(groupKeyText);
  const std::size_t* index = members_.find(memberKeyText);
  if (index == nullptr) return unknownMember(memberKeyText);
  const bool present = group->members.count(*index) != 0;
  if (add == present) {
    return fail(add ? "already_in_group" : "not_in_group", "member " + echo(memberKeyText) +
                                                               (add ? " is already" : " is not") +
                                                               " in group " + echo(group->key));
  }
  if (add) {
    group->members.insert(*index);
  } else {
    group->members.erase(*index);
  }
  return ok(Json{{"group_key", group->key},
                 {"member_key", members_.all()[*index].key},
                 {"member_count", group->members.size()}});
}

}  // namespace tavrello::sandbox
