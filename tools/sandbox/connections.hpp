// The connections that the sandbox's HTTP server accepted, found among the process's
// descriptors: httplib keeps no list of them. A socket whose own address is the listening
// one was accepted there (a client's connection to that port has an ephemeral address of
// its own).
//
// Thread safety: both functions may run on any thread at any time. Each socket is looked at
// through a duplicate, so that a descriptor another thread closes and reuses meanwhile is
// never touched; only sockets are duplicated, as closing a duplicate of a file would drop the
// process's locks on it.
#pragma once

#include <netinet/in.h>

namespace tavrello::sandbox {

// A duplicate (close-on-exec) of the connection accepted on `listening` from `client`, for
// the caller to watch and close; -1 when there is none.
int duplicateConnection(const sockaddr_in& listening, const sockaddr_in& client);

// Shuts down both directions of every connection accepted on `listening`; the server closes
// its own descriptors.
void shutDownConnections(const sockaddr_in& listening);

}  // namespace tavrello::sandbox
