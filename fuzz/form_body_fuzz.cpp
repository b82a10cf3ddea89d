// Any set of keys and values survives the form encoder: a standard form
// parser reads the body back as exactly the input pairs, so no value can add,
// split or change a field.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "internal/form_body.hpp"

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// application/x-www-form-urlencoded parsing: split at "&", then at the first
// "=", "+" read as a space, %XX decoded, anything else kept as it is.
std::string decode(const std::string& in) {
  std::string out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '+') {
      out += ' ';
    } else if (in[i] == '%' && i + 2 < in.size() && hexValue(in[i + 1]) >= 0 &&
               hexValue(in[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(in[i + 1]) * 16 + hexValue(in[i + 2]));
      i += 2;
    } else {
      out += in[i];
    }
  }
  return out;
}

std::multimap<std::string, std::string> parse(const std::string& body) {
  std::multimap<std::string, std::string> fields;
  std::size_t start = 0;
  while (start <= body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    const std::string field = body.substr(start, end - start);
    if (!field.empty()) {
      const std::size_t equals = field.find('=');
      fields.emplace(decode(field.substr(0, equals)),
                     equals == std::string::npos ? "" : decode(field.substr(equals + 1)));
    }
    start = end + 1;
  }
  return fields;
}

// Input: repeated [key length][key bytes][value length][value bytes].
std::string take(const std::uint8_t*& data, std::size_t& size) {
  if (size == 0) return {};
  std::size_t length = *data++;
  --size;
  if (length > size) length = size;
  std::string out(reinterpret_cast<const char*>(data), length);
  data += length;
  size -= length;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tavrello::Params params;
  std::multimap<std::string, std::string> expected;
  while (size > 0) {
    std::string key = take(data, size);
    std::string value = take(data, size);
    if (params.emplace(key, value).second) expected.emplace(key, value);
  }
  const std::string body = tavrello::internal::encodeFormBody(params);
  // A body of one empty key and value ("=") is the only field a parser
  // could read as empty text; every other pair must come back exactly.
  if (parse(body) != expected) std::abort();
  return 0;
}
