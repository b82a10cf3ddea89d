#include "sandbox_world.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace tavrello::sandbox {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kMetresPerDegree = 111320.0;

struct Centre {
  double latitude;
  double longitude;
};

// A few city centres; members start within a few kilometres of one of them.
constexpr std::array<Centre, 4> kCentres = {{
    {37.5665, 126.9780},
    {35.1796, 129.0756},
    {52.5200, 13.4050},
    {40.4168, -3.7038},
}};

constexpr std::array<const char*, 20> kGivenNames = {
    "Ana",   "Bora", "Chloé", "Dae-ho", "Elif", "Felix", "Grete", "Hana",  "Iker",     "Jonas",
    "Kaori", "Lena", "Minji", "Noé",    "Ola",  "Paulo", "Quinn", "Renée", "Seo-yeon", "Tomás"};

constexpr std::array<const char*, 16> kFamilyNames = {
    "Álvarez", "Baek", "Costa",    "Dahl", "Eriksen", "Fischer",  "García", "Han",
    "Ibáñez",  "Jung", "Kowalski", "Lim",  "Müller",  "Nakamura", "Øster",  "Park"};

constexpr std::array<const char*, kSeededGroups> kGroupNames = {
    "Field team North", "Couriers", "Family & friends", "Maintenance crew", "Night shift"};

double round6(double value) { return std::round(value * 1e6) / 1e6; }

std::uint64_t memberSeed(std::uint64_t seed, std::size_t index) {
  // Mix the index in through one generator step so that neighbouring members differ widely.
  SplitMix64 mixer(seed ^ (0x9E3779B97F4A7C15ULL * (static_cast<std::uint64_t>(index) + 1)));
  return mixer.next();
}

std::vector<Location> makeTrack(SplitMix64& rng, std::int64_t endTime) {
  const Centre& centre = kCentres[static_cast<std::size_t>(
      rng.between(0, static_cast<std::int64_t>(kCentres.size()) - 1))];
  const double homeLat = centre.latitude + (rng.unit() - 0.5) * 0.06;
  const double cosLat = std::cos(homeLat * kPi / 180.0);
  const double homeLon = centre.longitude + (rng.unit() - 0.5) * 0.06 / cosLat;

  double lat = homeLat;
  double lon = homeLon;
  double heading = rng.unit() * 2 * kPi;
  double speed = 0;  // metres per second, eased towards a target so the walk stays smooth
  bool moving = false;

  std::vector<Location> track;
  track.reserve(static_cast<std::size_t>(kTrackSeconds / kMinStepSeconds) + 1);
  std::int64_t t = endTime - kTrackSeconds + rng.between(0, kMinStepSeconds - 1);
  while (t <= endTime) {
    track.push_back({round6(lat), round6(lon), t});
    const std::int64_t step = rng.between(kMinStepSeconds, kMaxStepSeconds);

    if (rng.unit() < (moving ? 0.25 : 0.15)) moving = !moving;  // park now and then
    const double target = moving ? 0.5 + rng.unit() * 4.5 : 0.0;
    speed = 0.6 * speed + 0.4 * target;
    heading += (rng.unit() - 0.5) * 0.8;

    // Far from home, turn gently back towards it so the walk stays around its city.
    const double northM = (homeLat - lat) * kMetresPerDegree;
    const double eastM = (homeLon - lon) * kMetresPerDegree * cosLat;
    if (northM * northM + eastM * eastM > 6000.0 * 6000.0) {
      const double home = std::atan2(eastM, northM);
      double turn = std::remainder(home - heading, 2 * kPi);
      heading += 0.5 * turn;
    }

    const double metres = std::min(speed * static_cast<double>(step), 3000.0);
    lat += metres * std::cos(heading) / kMetresPerDegree;
    lon += metres * std::sin(heading) / (kMetresPerDegree * cosLat);
    // Parked devices still jitter by a few metres.
    lat += (rng.unit() - 0.5) * 0.00008;
    lon += (rng.unit() - 0.5) * 0.00008;
    t += step;
  }
  return track;
}

}  // namespace

std::uint64_t SplitMix64::next() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

double SplitMix64::unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

std::int64_t SplitMix64::between(std::int64_t lo, std::int64_t hi) {
  const std::uint64_t span = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo) + 1;
  const std::uint64_t offset = span == 0 ? next() : next() % span;
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(lo) + offset);
}

std::string memberKey(std::size_t index) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "m-%04zu", index + 1);
  return buffer;
}

std::string groupKey(std::uint64_t number) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "g-%03llu", static_cast<unsigned long long>(number));
  return buffer;
}

World seedWorld(std::uint64_t seed, std::size_t memberCount, std::int64_t endTime) {
  World world;
  world.members.reserve(memberCount);
  for (std::size_t i = 0; i < memberCount; ++i) {
    SplitMix64 rng(memberSeed(seed, i));
    Member member;
    member.key = memberKey(i);
    // Two draws in one expression would come in the order the compiler picks: the family
    // name is drawn first, as GCC built the worlds that came before.
    const std::uint64_t family = rng.next(), given = rng.next();
    member.name = std::string(kGivenNames[given % kGivenNames.size()]) + " " +
                  kFamilyNames[family % kFamilyNames.size()];
    member.track = makeTrack(rng, endTime);
    world.members.push_back(std::move(member));
  }

  SplitMix64 rng(seed ^ 0x6A09E667F3BCC908ULL);
  for (const char* name : kGroupNames) {
    StoredGroup group;
    group.key = groupKey(world.nextGroupNumber++);
    group.name = name;
    const auto wanted = static_cast<std::size_t>(rng.between(8, 40));
    const std::size_t size = std::min(wanted, memberCount);
    while (group.members.size() < size) {
      const auto last = static_cast<std::int64_t>(memberCount) - 1;
      group.members.insert(static_cast<std::size_t>(rng.between(0, last)));
    }
    world.groups.push_back(std::move(group));
  }
  return world;
}

}  // namespace tavrello::sandbox
