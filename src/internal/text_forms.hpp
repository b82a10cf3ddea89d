// Small text conversions: the request timestamp, the debug form of an
// optional key, and strict UTF-8 validation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tavrello::internal {

/// Seconds since 1970-01-01 UTC, fraction included, from the system clock.
double currentUnixTime();

/// `seconds` in fixed notation with the shortest digits that read back as
/// the same double; ".0" when there is no fractional digit; always a point,
/// whatever the locale.
///   timestampText(1700000000.0) == "1700000000.0"
///   timestampText(1700000000.5) == "1700000000.5"
std::string timestampText(double seconds);
/// The same, written into `text`, whose storage is reused.
void assignTimestampText(std::string& text, double seconds);

/// Debug form of an optional text: nil, or Optional("...") with \\, \", \',
/// \0, \t, \n, \r escaped and other ASCII control characters and DEL written
/// as \u{..} in lower-case hex. Other bytes are copied unchanged.
///   debugDescription(std::nullopt) == "nil"
///   debugDescription("a\"b") == "Optional(\"a\\\"b\")"
std::string debugDescription(const std::optional<std::string>& text);

/// True when the bytes are well-formed UTF-8: no overlong forms, no
/// surrogates (U+D800..U+DFFF), nothing above U+10FFFF, no truncated or
/// stray continuation bytes.
bool isStrictUtf8(const std::uint8_t* data, std::size_t size);

}  // namespace tavrello::internal
