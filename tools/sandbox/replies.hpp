// The JSON of the service's replies: {"result":"ok","data":{...}} on success and
// {"result":"fail","error":{"code":"...","message":"..."}} for a refusal, "result" first and
// every object's fields in a fixed order.
//
// Thread safety: every function here is pure and may run on any thread.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "sandbox_service.hpp"
#include "sandbox_world.hpp"

namespace tavrello::sandbox {

using Json = nlohmann::ordered_json;  // keeps "result" first and fields in a fixed order

// A success, status 200, outcome "ok".
Reply ok(Json data);

// A refusal: `code` is the outcome and the error's code.
Reply fail(std::string code, const std::string& message, int status = 200);

// A caller's text as an error message repeats it: quoted, at most 64 bytes of it.
//   echo("g-999") == "\"g-999\""
std::string echo(std::string_view text);

// {"latitude":..,"longitude":..,"time":..}
Json locationJson(const Location& location);

}  // namespace tavrello::sandbox
