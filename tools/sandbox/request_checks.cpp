#include "request_checks.hpp"

#include <utility>

#include "replies.hpp"
#include "sandbox_wire.hpp"

namespace tavrello::sandbox {

const std::string& field(const Fields& fields, std::string_view name) {
  return fields.find(name)->second;
}

std::optional<Reply> missing(const Fields& fields, std::string_view name) {
  if (fields.find(name) != fields.end()) return std::nullopt;
  return fail("missing_field", "the request has no " + std::string(name) + " field");
}

std::optional<Reply> readSignedForm(std::string_view contentType, std::string_view body,
                                    const std::string& apiKey, const std::string& serverKey,
                                    Fields& fields) {
  if (!isFormContentType(contentType)) {
    return fail("bad_content_type",
                "the body must be application/x-www-form-urlencoded, not " + echo(contentType));
  }
  for (auto& [name, value] : parseForm(body)) {
    if (fields.find(name) != fields.end()) {
      return fail("duplicate_field", "the field " + echo(name) + " appears more than once");
    }
    fields.emplace(std::move(name), std::move(value));
  }
  for (std::string_view name : {"api_key", "timestamp", "cert_key"}) {
    if (auto refusal = missing(fields, name)) return refusal;
  }
  if (!sameSecret(field(fields, "api_key"), apiKey)) {
    return fail("unknown_api_key", "the api_key is not known here");
  }
  const std::string& timestamp = field(fields, "timestamp");
  if (!isDecimalSeconds(timestamp)) {
    return fail("bad_timestamp", "timestamp is not decimal seconds since 1970: " + echo(timestamp));
  }
  if (!sameSecret(field(fields, "cert_key"), certKey(timestamp, apiKey, serverKey))) {
    return fail("bad_signature",
                "cert_key is not the SHA-1 of timestamp|api_key|server_key in lower-case hex");
  }
  return std::nullopt;
}

std::optional<Reply> readWindow(const Fields& fields, std::int64_t& from, std::int64_t& to) {
  for (const auto& [name, out] : {std::pair<const char*, std::int64_t*>{"from_date", &from},
                                  std::pair<const char*, std::int64_t*>{"to_date", &to}}) {
    const std::string& text = field(fields, name);
    if (parseSigned(text, *out) != NumberStatus::kOk) {
      return fail("bad_time",
                  std::string(name) + " is not a whole number of Unix seconds: " + echo(text));
    }
  }
  if (from > to) return fail("window_reversed", "from_date is after to_date");
  // Two's-complement subtraction in unsigned arithmetic: exact since to >= from.
  if (static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from) >
      static_cast<std::uint64_t>(kMaxWindowSeconds)) {
    return fail("window_too_long", "the window from from_date to to_date is over " +
                                       std::to_string(kMaxWindowSeconds) + " seconds");
  }
  return std::nullopt;
}

std::optional<Reply> readPage(const Fields& fields, std::uint64_t total, std::uint64_t& page,
                              std::uint64_t& pageSize, std::uint64_t& pages) {
  const std::string& pageText = field(fields, "page");
  const std::string& sizeText = field(fields, "page_size");
  const NumberStatus pageStatus = parseUnsigned(pageText, page);
  if (pageStatus == NumberStatus::kNotANumber) {
    return fail("bad_page", "page is not a whole number: " + echo(pageText));
  }
  if (parseUnsigned(sizeText, pageSize) != NumberStatus::kOk || pageSize < 1 ||
      pageSize > kMaxPageSize) {
    return fail("bad_page_size", "page_size must be a whole number from 1 to " +
                                     std::to_string(kMaxPageSize) + ": " + echo(sizeText));
  }
  pages = (total + pageSize - 1) / pageSize;
  if (pageStatus == NumberStatus::kOutOfRange || page < 1 || page > pages) {
    return fail("page_out_of_range",
                "page " + echo(pageText) + " is not between 1 and " + std::to_string(pages));
  }
  return std::nullopt;
}

std::optional<Reply> checkGroupName(const std::string& name) {
  if (name.empty()) return fail("bad_group_name", "group_name is empty");
  if (name.size() > kMaxGroupNameBytes) {
    return fail("bad_group_name",
                "group_name is longer than " + std::to_string(kMaxGroupNameBytes) + " bytes");
  }
  if (!isValidUtf8(name)) return fail("bad_group_name", "group_name is not valid UTF-8");
  return std::nullopt;
}

}  // namespace tavrello::sandbox
