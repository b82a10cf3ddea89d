// Request-level helpers of the sandbox service: form parsing, number parsing and the
// request signature. They are the sandbox's own, written apart from the client library on
// purpose, so that a fault in the library's encoder or signer cannot be hidden by the same
// fault here.
//
// Thread safety: every function here is pure and may run on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavrello::sandbox {

// One decoded field of a form body, in the order it appeared.
using FormField = std::pair<std::string, std::string>;

// percentDecode() decodes one name or value of an application/x-www-form-urlencoded body:
// "+" becomes a space and "%XX" (two hex digits, either case) becomes that byte. A "%" not
// followed by two hex digits is kept as it is. Never fails; any byte may come out.
//   EXPECT_EQ(percentDecode("a+b%26c%3d%zz"), "a b&c=%zz");
std::string percentDecode(std::string_view text);

// parseForm() splits a form body into fields: at every "&", then each piece at its first
// "=" (a piece without "=" is a name with an empty value), then percent-decodes both halves.
// Empty pieces (from "&&", a leading or trailing "&") are skipped. Repeated names are kept,
// in order, so that the caller can refuse them; nothing is trimmed.
//   parseForm("a=1&b=x%3Dy=z&a") gives {"a","1"}, {"b","x=y=z"}, {"a",""}.
std::vector<FormField> parseForm(std::string_view body);

// isFormContentType() is true for "application/x-www-form-urlencoded", in any letter case,
// with optional blanks around it and optional parameters after ";" (e.g. "; charset=UTF-8").
bool isFormContentType(std::string_view contentType);

// How a decimal text read as a number.
enum class NumberStatus { kOk, kNotANumber, kOutOfRange };

// parseUnsigned() reads a text made only of ASCII digits (at least one; no sign, no blanks)
// as a 64-bit unsigned number. Digits that do not fit give kOutOfRange.
NumberStatus parseUnsigned(std::string_view text, std::uint64_t& out);

// parseSigned() reads an optional "-" followed by ASCII digits as a 64-bit signed number.
// "+5", " 5", "5.0", "" and "0x5" are kNotANumber; digits beyond the range are kOutOfRange.
NumberStatus parseSigned(std::string_view text, std::int64_t& out);

// isDecimalSeconds() is true for digits with an optional "." and at least one more digit
// ("1700000000", "1700000000.25"); it is the form the client writes its timestamp in.
bool isDecimalSeconds(std::string_view text);

// sha1Hex() is the SHA-1 digest of the bytes of `text` as 40 lower-case hex digits, or an
// empty text if libcrypto fails (it does not for SHA-1).
//   EXPECT_EQ(sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
std::string sha1Hex(std::string_view text);

// certKey() is the signature a request must carry as cert_key:
// sha1Hex(timestamp + "|" + apiKey + "|" + serverKey), with nothing escaped.
std::string certKey(std::string_view timestamp, std::string_view apiKey,
                    std::string_view serverKey);

// sameSecret() compares two texts in time that depends only on their lengths.
bool sameSecret(std::string_view a, std::string_view b);

// isValidUtf8() is true when `text` is well-formed UTF-8 (no overlongs, no surrogates,
// nothing above U+10FFFF).
bool isValidUtf8(std::string_view text);

}  // namespace tavrello::sandbox
