// Helpers for the sandbox tests: a form encoder and a request signer of the tests' own,
// built straight on OpenSSL, so the tests do not share code with the sandbox they check.
#pragma once

#include <openssl/sha.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace sandbox_test {

using FieldList = std::vector<std::pair<std::string, std::string>>;

inline constexpr const char* kApiKey = "test-api-key";
inline constexpr const char* kServerKey = "test-server-key";
inline constexpr const char* kTimestamp = "1700000000.25";

// Lower-case hex SHA-1 of "timestamp|apiKey|serverKey".
inline std::string sign(const std::string& timestamp, const std::string& apiKey,
                        const std::string& serverKey) {
  const std::string text = timestamp + "|" + apiKey + "|" + serverKey;
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  std::string hex;
  char pair[3];
  for (unsigned char byte : digest) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

// Percent-encodes every byte but letters, digits and "-._~".
inline std::string encode(const std::string& text) {
  std::string out;
  char escape[4];
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      std::snprintf(escape, sizeof escape, "%%%02X", c);
      out += escape;
    }
  }
  return out;
}

inline std::string formBody(const FieldList& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    if (!body.empty()) body += '&';
    body += encode(name) + "=" + encode(value);
  }
  return body;
}

// The three signed fields for kApiKey/kServerKey, followed by `extra`.
inline FieldList signedFields(FieldList extra) {
  FieldList fields = {{"api_key", kApiKey},
                      {"timestamp", kTimestamp},
                      {"cert_key", sign(kTimestamp, kApiKey, kServerKey)}};
  fields.insert(fields.end(), extra.begin(), extra.end());
  return fields;
}

}  // namespace sandbox_test
