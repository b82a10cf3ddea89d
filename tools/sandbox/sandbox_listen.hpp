// The listen address of the sandbox: loopback only.
#pragma once

#include <optional>
#include <string>

namespace tavrello::sandbox {

struct ListenAddress {
  std::string host;  // a dotted IPv4 address in 127.0.0.0/8
  int port = 0;      // 0: any free port
};

// Accepts "HOST:PORT" where HOST is a dotted IPv4 address in 127.0.0.0/8 or "localhost"
// (read as 127.0.0.1) and PORT is 0 to 65535: the sandbox only ever listens on the loopback
// interface.
//   parseListen("localhost:0")->host == "127.0.0.1"
//   parseListen("0.0.0.0:8787") == std::nullopt
std::optional<ListenAddress> parseListen(const std::string& text);

}  // namespace tavrello::sandbox
