// Any fields survive the form encoder: the sandbox's form parser, a standard one written
// apart from the library, reads the body back as exactly the fields written, in order, so
// no value can add, split or change a field.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "internal/form_body.hpp"
#include "sandbox_wire.hpp"

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
  std::string body;
  std::vector<std::pair<std::string, std::string>> written;
  while (size > 0) {
    std::string key = take(data, size);
    std::string value = take(data, size);
    tavrello::internal::appendFormField(body, key, value);
    written.emplace_back(std::move(key), std::move(value));
  }
  if (tavrello::sandbox::parseForm(body) != written) std::abort();
  return 0;
}
