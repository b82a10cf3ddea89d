// The loopback address the sandbox listens on, as the socket calls take it, and why it could
// not listen there.
#pragma once

#include <netinet/in.h>

#include <string>

#include "sandbox_options.hpp"

namespace tavrello::sandbox {

sockaddr_in socketAddress(const ListenAddress& address);

// Why `address` cannot be listened on, in the system's words after ": " (": address already
// in use"); empty when a socket of its own can listen there.
std::string listenProblem(const ListenAddress& address);

}  // namespace tavrello::sandbox
