// The checks a request passes before an endpoint answers it, each with the refusal it gives
// (see README.md for every code): the signed form, the fields an endpoint needs, and the
// numbers and names in them. A check returns the refusal, or nothing when the request passes.
//
// Thread safety: every function here is pure and may run on any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "sandbox_service.hpp"

namespace tavrello::sandbox {

// A request's fields by name, each present once.
using Fields = std::map<std::string, std::string, std::less<>>;

// The value of a field that missing() found there.
const std::string& field(const Fields& fields, std::string_view name);

// missing_field when `fields` has no `name`.
std::optional<Reply> missing(const Fields& fields, std::string_view name);

// Reads `body` into `fields` when it is a signed form: declared as a form, no field twice,
// api_key, timestamp and cert_key present, the api key `apiKey`, the timestamp decimal seconds
// and cert_key its signature with `serverKey`. Checked in that order.
std::optional<Reply> readSignedForm(std::string_view contentType, std::string_view body,
                                    const std::string& apiKey, const std::string& serverKey,
                                    Fields& fields);

// from_date and to_date: whole Unix seconds, in order, at most kMaxWindowSeconds apart.
std::optional<Reply> readWindow(const Fields& fields, std::int64_t& from, std::int64_t& to);

// page and page_size of a list of `total`: both whole numbers, page_size 1 to kMaxPageSize,
// page 1 to the number of pages, which goes to `pages`.
std::optional<Reply> readPage(const Fields& fields, std::uint64_t total, std::uint64_t& page,
                              std::uint64_t& pageSize, std::uint64_t& pages);

// A group name: not empty, at most kMaxGroupNameBytes, valid UTF-8.
std::optional<Reply> checkGroupName(const std::string& name);

}  // namespace tavrello::sandbox
