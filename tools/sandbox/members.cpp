#include "members.hpp"

#include <algorithm>
#include <utility>

#include "replies.hpp"

namespace tavrello::sandbox {

Members::Members(std::vector<Member> members) : members_(std::move(members)) {
  for (std::size_t i = 0; i < members_.size(); ++i) index_.emplace(members_[i].key, i);
}

const std::size_t* Members::find(const std::string& key) const {
  const auto it = index_.find(key);
  return it == index_.end() ? nullptr : &it->second;
}

Reply unknownMember(const std::string& key) {
  return fail("unknown_member", "no member has the key " + echo(key));
}

Reply Members::lastLocation(const Fields& fields) const {
  const std::string& key = field(fields, "member_key");
  const std::size_t* index = find(key);
  if (index == nullptr) return unknownMember(key);
  const Member& member = members_[*index];
  return ok(Json{{"member_key", member.key},
                 {"name", member.name},
                 {"location", locationJson(member.track.back())}});
}

Reply Members::locationList(const Fields& fields) const {
  const std::string& key = field(fields, "member_key");
  const std::size_t* index = find(key);
  if (index == nullptr) return unknownMember(key);
  std::int64_t from = 0, to = 0;
  if (auto refusal = readWindow(fields, from, to)) return std::move(*refusal);

  const Member& member = members_[*index];
  const auto byTime = [](const Location& location, std::int64_t t) { return location.time < t; };
  auto first = std::lower_bound(member.track.begin(), member.track.end(), from, byTime);
  Json points = Json::array();
  for (auto it = first; it != member.track.end() && it->time <= to; ++it) {
    points.push_back(locationJson(*it));
  }
  const std::size_t count = points.size();
  return ok(Json{{"member_key", member.key},
                 {"from_date", from},
                 {"to_date", to},
                 {"count", count},
                 {"locations", std::move(points)}});
}

Reply Members::memberInfo(const Fields& fields) const {
  const std::uint64_t total = members_.size();
  std::uint64_t page = 0, pageSize = 0, pages = 0;
  if (auto refusal = readPage(fields, total, page, pageSize, pages)) return std::move(*refusal);

  Json list = Json::array();
  const std::uint64_t end = std::min(total, page * pageSize);
  for (std::uint64_t i = (page - 1) * pageSize; i < end; ++i) {
    const Member& member = members_[static_cast<std::size_t>(i)];
    list.push_back(Json{{"member_key", member.key},
                        {"name", member.name},
                        {"last_location", locationJson(member.track.back())}});
  }
  return ok(Json{{"page", page},
                 {"page_size", pageSize},
                 {"total_members", total},
                 {"total_pages", pages},
                 {"members", std::move(list)}});
}

}  // namespace tavrello::sandbox
