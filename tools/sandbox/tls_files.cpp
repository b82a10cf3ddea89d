#include "tls_files.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace tavrello::sandbox {
namespace {

struct Closer {
  void operator()(std::FILE* file) const { std::fclose(file); }
  void operator()(X509* certificate) const { X509_free(certificate); }
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
template <typename T>
using Owned = std::unique_ptr<T, Closer>;

// Opens `path`, or says why it cannot be read in `problem`.
Owned<std::FILE> open(const std::string& path, std::string& problem) {
  Owned<std::FILE> file(std::fopen(path.c_str(), "re"));
  if (!file) {
    std::string words = std::strerror(errno);
    if (!words.empty()) words[0] = static_cast<char>(std::tolower(words[0]));
    problem = "cannot read " + path + ": " + words;
  }
  return file;
}

std::string check(const std::string& certFile, const std::string& keyFile) {
  if (certFile.empty() || keyFile.empty()) {
    return "it needs both a certificate file and a key file";
  }
  std::string problem;
  const Owned<std::FILE> certText = open(certFile, problem);
  if (!certText) return problem;
  const Owned<X509> certificate(PEM_read_X509(certText.get(), nullptr, nullptr, nullptr));
  if (!certificate) return certFile + " holds no PEM certificate";
  const Owned<std::FILE> keyText = open(keyFile, problem);
  if (!keyText) return problem;
  // A passphrase callback that gives none: OpenSSL's own would ask on the terminal.
  const auto noPassphrase = [](char*, int, int, void*) { return 0; };
  const Owned<EVP_PKEY> key(PEM_read_PrivateKey(keyText.get(), nullptr, noPassphrase, nullptr));
  if (!key) return keyFile + " holds no PEM private key (or one that needs a passphrase)";
  if (X509_check_private_key(certificate.get(), key.get()) != 1) {
    return "the key in " + keyFile + " does not match the certificate in " + certFile;
  }
  return "";
}

}  // namespace

std::string tlsFilesProblem(const std::string& certFile, const std::string& keyFile) {
  std::string problem = check(certFile, keyFile);
  ERR_clear_error();
  return problem;
}

}  // namespace tavrello::sandbox
