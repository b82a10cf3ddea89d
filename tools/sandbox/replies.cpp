#include "replies.hpp"

#include <utility>

namespace tavrello::sandbox {
namespace {

// How much of a caller's text an error message repeats.
constexpr std::size_t kEchoBytes = 64;

// Texts from the client may be invalid UTF-8; the replacement handler keeps dump() from
// throwing on them.
std::string dump(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

Reply ok(Json data) {
  Reply reply;
  reply.outcome = "ok";
  reply.body = dump(Json{{"result", "ok"}, {"data", std::move(data)}});
  return reply;
}

Reply fail(std::string code, const std::string& message, int status) {
  Reply reply;
  reply.status = status;
  reply.body =
      dump(Json{{"result", "fail"}, {"error", Json{{"code", code}, {"message", message}}}});
  reply.outcome = std::move(code);
  return reply;
}

std::string echo(std::string_view text) {
  std::string out = "\"";
  out.append(text.substr(0, kEchoBytes));
  if (text.size() > kEchoBytes) out.append("...");
  out.append("\"");
  return out;
}

Json locationJson(const Location& location) {
  return Json{
      {"latitude", location.latitude}, {"longitude", location.longitude}, {"time", location.time}};
}

}  // namespace tavrello::sandbox
