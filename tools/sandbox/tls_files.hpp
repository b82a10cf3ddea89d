// Why the sandbox cannot serve HTTPS with a certificate file and a key file, said before
// its HTTPS server reads them.
//
// Thread safety: may run on any thread; it leaves the thread's OpenSSL error queue empty.
#pragma once

#include <string>

namespace tavrello::sandbox {

// Empty when `certFile` holds a PEM certificate (the first of a chain) and `keyFile` the PEM
// private key that matches it; else why not, naming the file:
//   "cannot read PATH: no such file or directory", "PATH holds no PEM certificate",
//   "the key in KEY does not match the certificate in CERT".
// A key protected by a passphrase counts as none: no passphrase is ever asked for.
std::string tlsFilesProblem(const std::string& certFile, const std::string& keyFile);

}  // namespace tavrello::sandbox
