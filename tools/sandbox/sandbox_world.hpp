// The sandbox's made-up world: tracked members with a location track each, and groups of
// them. Everything is derived from a seed and an end time, so two sandboxes started with the
// same --seed and --start-time hold the same world.
//
// Thread safety: SplitMix64 is a plain value; seedWorld() is pure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace tavrello::sandbox {

// SplitMix64 is the sandbox's fixed pseudo-random generator (Steele, Lea and Flood's
// splitmix64): 64 bits of state, the same sequence on every platform and compiler, unlike
// the distributions of <random>.
//   SplitMix64 rng(0); EXPECT_EQ(rng.next(), 0xe220a8397b1dcdafULL);
class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next();
  // A double in [0, 1) from the top 53 bits of next().
  double unit();
  // A whole number in [lo, hi]; lo <= hi.
  std::int64_t between(std::int64_t lo, std::int64_t hi);

 private:
  std::uint64_t state_;
};

// One fix of a member's position; latitude and longitude in degrees (6 decimals), time in
// Unix seconds.
struct Location {
  double latitude = 0;
  double longitude = 0;
  std::int64_t time = 0;
};

struct Member {
  std::string key;              // "m-0001", "m-0002", ... in index order
  std::string name;             // display name, UTF-8
  std::vector<Location> track;  // ascending time, never empty
};

struct StoredGroup {
  std::string key;                // "g-001", "g-002", ... never reused
  std::string name;               // display name, UTF-8, as the client sent it
  std::set<std::size_t> members;  // member indexes, so iteration is in member-key order
};

struct World {
  std::vector<Member> members;
  std::vector<StoredGroup> groups;  // in creation order
  std::uint64_t nextGroupNumber = 1;
};

// Length of every seeded track and the spacing of its points.
constexpr std::int64_t kTrackSeconds = 3 * 24 * 3600;
constexpr std::int64_t kMinStepSeconds = 600;
constexpr std::int64_t kMaxStepSeconds = 900;
constexpr std::size_t kSeededGroups = 5;

// memberKey(0) == "m-0001"; groupKey(1) == "g-001". Wider numbers simply get more digits.
std::string memberKey(std::size_t index);
std::string groupKey(std::uint64_t number);

// seedWorld() builds `memberCount` members, each with a smooth random walk around one of a
// few city centres, one point every 10 to 15 minutes over the kTrackSeconds before
// `endTime` (the last point at or just before it), and kSeededGroups groups "g-001"... of
// 8 to 40 members each. Each member's track depends only on the seed and its index.
World seedWorld(std::uint64_t seed, std::size_t memberCount, std::int64_t endTime);

}  // namespace tavrello::sandbox
