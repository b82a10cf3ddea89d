#include "internal/failure_detail.hpp"

#include <cerrno>

namespace tavrello::internal {

std::string noReplyWithin(std::chrono::milliseconds timeout) {
  const auto ms = timeout.count();
  return "no complete reply within " +
         (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms");
}

std::string failureDetail(const Ending& ending) {
  const long status = ending.status;
  if (ending.headerBlockEnded && status != 0 && (status < 200 || status > 299)) {
    return "HTTP " + std::to_string(status) + " from " + ending.authority;
  }
  if (ending.overCap) return "reply larger than 64 MiB";
  switch (ending.code) {
    case CURLE_OK:  // a 2xx status line, then the connection closed mid-header
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      return "reply cut short by " + ending.peer;
    case CURLE_COULDNT_RESOLVE_HOST:
      return "host name not resolved: " + ending.host;
    case CURLE_COULDNT_RESOLVE_PROXY:
      return "proxy name not resolved";
    case CURLE_COULDNT_CONNECT:
      return (ending.osErrno == ECONNREFUSED ? "connection refused by " : "cannot connect to ") +
             ending.peer;
    case CURLE_OPERATION_TIMEDOUT:
      return noReplyWithin(ending.timeout);
    case CURLE_GOT_NOTHING:  // as a TLS server closes on a request in plain text
      return "empty reply from " + ending.peer +
             (ending.https ? "" : "; the server may speak https, not plain http");
    case CURLE_WEIRD_SERVER_REPLY:
      return "malformed reply from " + ending.peer;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_INVALIDCERTSTATUS: {
      const std::string words =
          ending.curlError.empty() ? curl_easy_strerror(ending.code) : ending.curlError;
      // What OpenSSL says when the reply to its hello is not TLS, such as an HTTP status line.
      const bool plainReply = words.find("wrong version number") != std::string::npos;
      return "TLS: " + words + " (" + ending.authority + ")" +
             (plainReply ? "; the server seems to speak plain http, not https" : "");
    }
    default:
      return std::string("transfer failed: ") + curl_easy_strerror(ending.code);
  }
}

}  // namespace tavrello::internal
