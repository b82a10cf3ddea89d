// The groups, which requests change, and the eight group actions.
//
// Thread safety: every member function may run on any number of threads at once. Groups
// change under a mutex of the store's own: each action sees the groups wholly before or
// wholly after any other action's change (and any reset()).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <tavrello/sandbox.hpp>

#include "members.hpp"

namespace tavrello::sandbox {

class GroupStore {
 public:
  // Holds `seeded` until a change; `nextNumber` numbers the first group created. `members`
  // must outlive the store.
  GroupStore(const Members& members, std::vector<StoredGroup> seeded, std::uint64_t nextNumber);
  GroupStore(const GroupStore&) = delete;
  GroupStore& operator=(const GroupStore&) = delete;

  std::vector<Group> snapshot() const;  // in creation order
  void reset();                         // the seeded groups again; keys start over

  // The actions, each given fields the route table made sure are present.
  Reply list(const Fields& fields) const;       // -
  Reply ofMember(const Fields& fields) const;   // member_key
  Reply membersOf(const Fields& fields) const;  // group_key
  Reply create(const Fields& fields);           // group_name
  Reply rename(const Fields& fields);           // group_key, group_name
  Reply remove(const Fields& fields);           // group_key
  Reply addMember(const Fields& fields);        // group_key, member_key
  Reply removeMember(const Fields& fields);     // group_key, member_key

 private:
  Reply changeMembership(const Fields& fields, bool add);
  // The caller holds mutex_.
  std::vector<StoredGroup>::const_iterator find(const std::string& key) const;
  std::vector<StoredGroup>::iterator find(const std::string& key);

  const Members& members_;
  const std::vector<StoredGroup> seeded_;
  const std::uint64_t seededNextNumber_;
  mutable std::mutex mutex_;  // guards what follows
  std::vector<StoredGroup> groups_;
  std::uint64_t nextNumber_;
};

}  // namespace tavrello::sandbox
