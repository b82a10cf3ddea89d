// The sandbox service's core: its state and one pure request handler, with no socket. The
// HTTP front end (sandbox_server.cpp), the unit tests and fuzz targets all call handle().
//
// Reply shape (see README.md for every endpoint and action):
//   success  {"result":"ok","data":{...}}
//   refusal  {"result":"fail","error":{"code":"unknown_group","message":"..."}}
// Refusals are HTTP 200; only an unknown path (404) or a method other than POST on a known
// path (405) are not, plus 500 if the handler itself failed (it should not).
//
// Thread safety: a SandboxService may be shared by any number of threads. Members and their
// tracks never change after construction; groups change under an internal mutex, and each
// request sees the groups either wholly before or wholly after any other request's change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <tavrello/sandbox.hpp>

namespace tavrello::sandbox {

// The four paths the service answers.
inline constexpr std::string_view kLastLocationPath = "/api.get.member.location.last.php";
inline constexpr std::string_view kLocationListPath = "/api.get.member.location.list.php";
inline constexpr std::string_view kMemberInfoPath = "/api.get.member.info.all.php";
inline constexpr std::string_view kCommonPath = "/api.partner.common.php";

// Limits the service enforces.
inline constexpr std::int64_t kMaxWindowSeconds = 24 * 3600;  // to_date - from_date
inline constexpr std::uint64_t kMaxPageSize = 100;
inline constexpr std::size_t kMaxGroupNameBytes = 200;
inline constexpr std::size_t kMaxGroups = 1000;

// Limits of the options, enforced by Sandbox: far beyond any test, and within them the
// tracks' arithmetic never overflows.
inline constexpr std::size_t kMaxMembers = 10000;
inline constexpr std::int64_t kMaxClock = 253402300799;  // 9999-12-31T23:59:59Z

struct Reply {
  int status = 200;
  std::string body;  // JSON text, always an object with "result"
  std::vector<std::pair<std::string, std::string>> headers;  // extra headers, e.g. Allow
  std::string action;   // the action code of a common-endpoint request, when it was a known one
  std::string outcome;  // "ok", or the error code of the refusal
};

class SandboxService {
 public:
  // Seeds the world from the options' seed, members and clock (0: now), which must be within
  // the limits above; requests must be signed with its keys.
  explicit SandboxService(Options options);
  ~SandboxService();
  SandboxService(const SandboxService&) = delete;
  SandboxService& operator=(const SandboxService&) = delete;

  // handle() answers one request. `body` is the raw request body; it is parsed here as a
  // form whatever its bytes (a Content-Type other than a form is refused). Never throws and
  // never crashes on any input; every refusal names its cause in error.code.
  //   Reply r = service.handle("GET", std::string(kCommonPath), "", "");
  //   EXPECT_EQ(r.status, 405);
  Reply handle(const std::string& method, const std::string& path, const std::string& contentType,
               const std::string& body) noexcept;

  // The client operation a request is for ("createGroup", ...), from its path and, on the
  // group endpoint, its "api" field; empty when it is for none.
  //   operationOf(kCommonPath, "api=api.common.group.set.add&group_name=x") == "createGroup"
  static std::string_view operationOf(std::string_view path, std::string_view body);
  // Whether `name` is one of the eleven operations of the client.
  static bool isOperation(std::string_view name);

  std::vector<Group> groups() const;  // in creation order
  void reset();                       // the seeded groups again; keys start over

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tavrello::sandbox
