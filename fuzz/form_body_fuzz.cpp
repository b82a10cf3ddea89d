// Any set of keys and values survives the form encoder: a standard form
// parser reads the body back as exactly the input pairs, so no value can add,
// split or change a field.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "form_fields.hpp"
#include "internal/form_body.hpp"

namespace {

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
  const auto fields = tavrello::testing::parseFormFields(body);
  if (std::multimap<std::string, std::string>(fields.begin(), fields.end()) != expected) {
    std::abort();
  }
  return 0;
}
