// The one line a failed exchange is told by, for each way an exchange ends: no server
// needed.
#include <gtest/gtest.h>

#include <cerrno>

#include "internal/failure_detail.hpp"

namespace tavrello::internal {
namespace {

using namespace std::chrono_literals;

Ending ending(CURLcode code, long status = 0, bool headerBlockEnded = false) {
  Ending ending;
  ending.code = code;
  ending.status = status;
  ending.headerBlockEnded = headerBlockEnded;
  ending.peer = "10.0.0.7:8080";
  ending.authority = "api.example.com:443";
  ending.host = "api.example.com";
  ending.https = true;
  ending.timeout = 60s;
  return ending;
}

TEST(FailureDetail, NamesWhatWentWrong) {
  Ending overCap = ending(CURLE_WRITE_ERROR, 200, true), refused = ending(CURLE_COULDNT_CONNECT),
         unreachable = refused, quick = ending(CURLE_OPERATION_TIMEDOUT),
         tls = ending(CURLE_PEER_FAILED_VERIFICATION);
  overCap.overCap = true;
  refused.osErrno = ECONNREFUSED;
  unreachable.osErrno = ENETUNREACH;
  quick.timeout = 500ms;
  tls.curlError = "SSL: no alternative certificate subject name matches";
  const std::pair<Ending, const char*> rows[] = {
      {ending(CURLE_OK, 503, true), "HTTP 503 from api.example.com:443"},
      {ending(CURLE_RECV_ERROR, 404, true), "HTTP 404 from api.example.com:443"},  // body cut
      {ending(CURLE_OK, 200, false), "reply cut short by 10.0.0.7:8080"},          // mid-header
      {ending(CURLE_RECV_ERROR, 503, false), "reply cut short by 10.0.0.7:8080"},
      {ending(CURLE_PARTIAL_FILE, 200, true), "reply cut short by 10.0.0.7:8080"},
      {overCap, "reply larger than 64 MiB"},
      {ending(CURLE_COULDNT_RESOLVE_HOST), "host name not resolved: api.example.com"},
      {refused, "connection refused by 10.0.0.7:8080"},
      {unreachable, "cannot connect to 10.0.0.7:8080"},
      {ending(CURLE_OPERATION_TIMEDOUT), "no complete reply within 60 s"},
      {quick, "no complete reply within 500 ms"},
      {ending(CURLE_GOT_NOTHING), "empty reply from 10.0.0.7:8080"},
      {ending(CURLE_WEIRD_SERVER_REPLY), "malformed reply from 10.0.0.7:8080"},
      {tls, "TLS: SSL: no alternative certificate subject name matches (api.example.com:443)"},
      {ending(CURLE_SSL_CACERT_BADFILE),
       "TLS: Problem with the SSL CA cert (path? access rights?) (api.example.com:443)"},
      {ending(CURLE_UNSUPPORTED_PROTOCOL), "transfer failed: Unsupported protocol"},
  };
  for (const auto& [row, detail] : rows) {
    EXPECT_EQ(failureDetail(row), detail) << curl_easy_strerror(row.code) << " " << row.status;
  }
}

}  // namespace
}  // namespace tavrello::internal
