// The seeded members, with their tracks, and the three queries about them.
//
// Thread safety: members and tracks never change after construction, so every member
// function may run on any number of threads at once.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "request_checks.hpp"
#include "sandbox_world.hpp"

namespace tavrello::sandbox {

class Members {
 public:
  explicit Members(std::vector<Member> members);

  // In key order.
  const std::vector<Member>& all() const { return members_; }
  // The index of the member with `key`, or nullptr.
  const std::size_t* find(const std::string& key) const;

  // The endpoints, each given fields the route table made sure are present.
  Reply lastLocation(const Fields& fields) const;  // member_key
  Reply locationList(const Fields& fields) const;  // member_key, from_date, to_date
  Reply memberInfo(const Fields& fields) const;    // page, page_size

 private:
  std::vector<Member> members_;
  std::unordered_map<std::string, std::size_t> index_;
};

// The refusal for a member key that no member has.
Reply unknownMember(const std::string& key);

}  // namespace tavrello::sandbox
