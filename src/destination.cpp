#include "internal/destination.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>

namespace tavrello::internal {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool allDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), isDigit);
}

// Names the first character that host[:port] never holds, or returns "".
std::string strayCharacter(std::string_view text) {
  for (const char c : text) {
    if (isLetter(c) || isDigit(c) || c == '-' || c == '_' || c == '.' || c == ':' || c == '[' ||
        c == ']') {
      continue;
    }
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7f) return "a space or control character";
    if (byte >= 0x80) return "a character outside ASCII";
    return std::string("\"") + c + "\"";
  }
  return "";
}

const char* portProblem(std::string_view port) {
  constexpr const char* kProblem = "the port is not a number from 1 to 65535";
  if (port.size() > 5 || !allDigits(port)) return kProblem;
  const int value = std::stoi(std::string(port));
  return value >= 1 && value <= 65535 ? nullptr : kProblem;
}

bool sameLetters(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (x | 0x20) == (y | 0x20);
         });
}

// A DNS name (letters, digits, "-" and "_" in labels of 1 to 63, 253 in all, one final
// dot allowed) or, when the last label is a number, a dotted IPv4 address.
const char* nameProblem(std::string_view host, bool& loopback) {
  if (host.empty()) return "the host is empty";
  std::string_view name = host;
  if (name.back() == '.') name.remove_suffix(1);
  if (name.size() > 253) return "the host name is longer than 253 characters";
  std::string_view label;
  for (std::size_t start = 0;; start += label.size() + 1) {
    label = name.substr(start, name.find('.', start) - start);
    if (label.empty()) return "the host name has an empty label";
    if (label.size() > 63) return "a label of the host name is longer than 63 characters";
    if (label.front() == '-' || label.back() == '-' || label.find_first_of("[]") != label.npos) {
      return "the host is not a host name";
    }
    if (start + label.size() == name.size()) break;
  }
  if (allDigits(label)) {  // the last label: a number means an IPv4 address
    in_addr address{};
    if (inet_pton(AF_INET, std::string(name).c_str(), &address) != 1) {
      return "the host is not a dotted IPv4 address";
    }
    loopback = (ntohl(address.s_addr) >> 24) == 127;
    return nullptr;
  }
  loopback = sameLetters(name, "localhost");
  return nullptr;
}

const char* ipv6Problem(std::string_view bracketed, bool& loopback) {
  in6_addr address{};
  const std::string inside(bracketed.substr(1, bracketed.size() - 2));
  if (inet_pton(AF_INET6, inside.c_str(), &address) != 1) {
    return "the host is not a valid IPv6 address";
  }
  // An IPv4-mapped address ([::ffff:127.0.0.1]) reaches the IPv4 loopback.
  loopback = IN6_IS_ADDR_LOOPBACK(&address) ||
             (IN6_IS_ADDR_V4MAPPED(&address) && address.s6_addr[12] == 127);
  return nullptr;
}

}  // namespace

Destination parseDestination(std::string given) {
  Destination destination;
  destination.text = std::move(given);
  std::string_view text = destination.text;
  std::string scheme = "http";
  if (const std::size_t end = text.find("://"); end != std::string_view::npos) {
    scheme = std::string(text.substr(0, end));
    // Letters only matter below: "HTTPS" reads as "https", nothing else as either.
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](char c) { return static_cast<char>(c | 0x20); });
    if (scheme != "http" && scheme != "https") {
      destination.problem = "only http:// and https:// are accepted";
      return destination;
    }
    text.remove_prefix(end + 3);
  }
  if (const std::string stray = strayCharacter(text); !stray.empty()) {
    destination.problem = stray + " cannot appear in a service host";
    return destination;
  }
  std::string_view host;
  std::string_view after;
  const char* problem = nullptr;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) {
      problem = "an IPv6 address lacks its closing \"]\"";
    } else {
      host = text.substr(0, close + 1);
      after = text.substr(close + 1);
      problem = ipv6Problem(host, destination.loopback);
    }
  } else {
    const std::size_t colon = text.find(':');
    host = text.substr(0, colon);
    after = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
    problem = nameProblem(host, destination.loopback);
  }
  if (problem == nullptr && !after.empty()) {
    problem = after.front() == ':' ? portProblem(after.substr(1)) : "the host is not a host name";
  }
  if (problem != nullptr) {
    destination.problem = problem;
    destination.loopback = false;
    return destination;
  }
  destination.https = scheme == "https";
  destination.host = std::string(host);
  destination.authority =
      after.empty() ? destination.host + (destination.https ? ":443" : ":80") : std::string(text);
  destination.origin = scheme + "://" + std::string(text);
  return destination;
}

std::string caFileProblem(const std::string& pemPath) {
  struct stat info {};
  if (pemPath.empty()) return "";
  if (::stat(pemPath.c_str(), &info) != 0) {
    return errno == ENOENT ? "CA file not found: " + pemPath : "";
  }
  return S_ISREG(info.st_mode) ? "" : "CA file is not a regular file: " + pemPath;
}

}  // namespace tavrello::internal
