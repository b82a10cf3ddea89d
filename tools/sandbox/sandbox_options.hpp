// The texts that name what the sandbox is given beyond numbers: the address it listens on
// and the faults it injects, as the program reads them from its command line (and the log
// names a fault).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <tavrello/sandbox.hpp>

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

// Reads a --fault text: comma-separated KEY=VALUE pairs, each optional, body last as it may
// hold commas itself:
//   op=OPERATION  the client operation ("createGroup", ...); without it, any request
//   status=N      the reply's status (default 503), 0 for the service's own reply
//   count=N       how many requests it answers (default 1)
//   delay=MS      milliseconds to wait before answering
//   cut=BYTES     close the connection after this many bytes of the body
//   body=TEXT     the reply's body, the rest of the text
// On a mistake, returns nothing and says what is wrong in `error`.
//   parseFault("op=getGroups,status=503,count=2,body={\"a\":1,\"b\":2}", error)->body
//       == "{\"a\":1,\"b\":2}"
std::optional<Fault> parseFault(std::string_view text, std::string& error);

// What makes a fault one that cannot be injected; empty for one that can.
std::string faultProblem(const Fault& fault);

// The fault as a --fault text, as it answers one request: without its count, and with only
// the keys that make it what it is (status always).
//   describeFault(Fault("createGroup", 503, "busy")) == "op=createGroup,status=503,body=busy"
std::string describeFault(const Fault& fault);

}  // namespace tavrello::sandbox
