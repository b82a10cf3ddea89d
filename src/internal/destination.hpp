// Where requests go: the service host as set, checked once when it is set.
#pragma once

#include <string>
#include <string_view>

namespace tavrello::internal {

/// A service host read once by parseDestination(), with the CA file that verifies it,
/// shared by every request sent to it. Immutable once shared.
struct Destination {
  std::string text;       // as given to setServiceHost()
  std::string origin;     // "http[s]://host[:port]", the start of every endpoint URL; empty
                          // when `text` is not a service host
  std::string host;       // "api.example.com", "[::1]"
  std::string authority;  // host:port, the default port filled in, for failure details
  std::string problem;    // why `text` is not a service host; empty when it is
  bool https = false;
  bool loopback = false;  // localhost, 127.0.0.0/8, [::1], [::ffff:127.x]: never proxied
  std::string caFile;     // PEM file of trusted CAs for https; empty: the system's
  std::string caProblem;  // why https requests cannot use caFile; empty when they can
};

/// Reads `[http://|https://]host[:port]` (the scheme in any letter case): host a DNS name,
/// a dotted IPv4 address or a bracketed IPv6 address; port 1-65535. Anything else (a path,
/// query, fragment, user information, another scheme, space or control character) leaves
/// `origin` empty and says in `problem` what is wrong, without repeating the text, which
/// may hold a secret ("user:pw@host").
///   parseDestination("127.0.0.1:8787").origin == "http://127.0.0.1:8787"
///   parseDestination("HTTPS://api.example.com").authority == "api.example.com:443"
///   parseDestination("[::1]:80").loopback == true
///   parseDestination("host/evil").problem == "\"/\" cannot appear in a service host"
Destination parseDestination(std::string text);

/// Why `pemPath` cannot serve as a CA file, or "" when it may: a path where nothing is, or
/// that is no regular file (a FIFO, a device, a directory), never reaches libcurl, where
/// opening a FIFO would block the thread that drives every transfer. A file that cannot be
/// read is left to libcurl, whose failure names it.
///   caFileProblem("/nowhere.pem") == "CA file not found: /nowhere.pem"
///   caFileProblem("/dev/stdin") == "CA file is not a regular file: /dev/stdin"
std::string caFileProblem(const std::string& pemPath);

}  // namespace tavrello::internal
