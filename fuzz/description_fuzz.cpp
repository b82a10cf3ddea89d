// description() on any reply bytes: never crashes, agrees with an
// independent strict UTF-8 decoder, and handles "null" as documented.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <tavrello/tavrello_result.hpp>

namespace {

// Decodes code point by code point (unlike the library's range table), and
// rejects what UTF-8 forbids: overlong forms, surrogates, values above
// U+10FFFF and truncated sequences.
bool independentUtf8Check(const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    std::uint32_t c = p[i];
    std::size_t extra;
    std::uint32_t minimum;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, minimum = 0x80, c &= 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, minimum = 0x800, c &= 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, minimum = 0x10000, c &= 0x07;
    } else {
      return false;
    }
    if (n - i <= extra) return false;  // truncated
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      c = (c << 6) | (p[i + k] & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // description() prints valid text; keep the fuzzer's output readable.
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tavrello::TavrelloResult result(tavrello::Bytes(data, data + size));
  result.setResult("ok");
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string described = result.description();
  if (!independentUtf8Check(data, size)) {
    if (described != "Error: Couldn't print JSON in String") std::abort();
    if (result.reason() != "" || result.message()) std::abort();
  } else if (text == "null") {
    if (described != "null" || result.reason() != "http" || !result.message()) std::abort();
    if (result.result() != "ok") std::abort();
  } else {
    if (described != text || result.reason() != "" || result.message()) std::abort();
  }
  return 0;
}
