// HTTPS end to end, against the sandbox serving TLS with certificates made for this run
// (support/make_certs.sh): the peer is always verified, against the system's trust store
// or the CA file given, and every refusal says why.
#include <gtest/gtest.h>

#include <tavrello/sandbox.hpp>
#include <tavrello/tavrello.hpp>

#include <string>

#include "support/run_program.hpp"

namespace tavrello::testing {
namespace {

using namespace std::chrono_literals;
using Result = std::shared_ptr<TavrelloResult>;

const std::string kCerts = TAVRELLO_TEST_CERTS;

sandbox::Options serving(const std::string& certificate) {
  sandbox::Options options;
  options.apiKey = "https-api-key";
  options.serverKey = "https-server-key";
  if (!certificate.empty()) {
    options.tlsCertFile = kCerts + "/" + certificate + ".pem";
    options.tlsKeyFile = kCerts + "/" + certificate + ".key";
  }
  return options;
}

Result getGroups(const std::string& host, const std::string& caFile) {
  auto& api = TavrelloAPI::shared();
  api.setApiKey("https-api-key");
  api.setServerKey("https-server-key");
  api.setServiceHost(host);
  api.setCaFile(caFile);
  Result result;
  api.getGroups([&](Result r) { result = std::move(r); });
  MainQueue::shared().runUntil([&] { return result != nullptr; }, 20s);
  return result;
}

TEST(Https, VerifiesThePeerAgainstTheTrustStoreOrTheGivenCa) {
  sandbox::Sandbox trusted(serving("server")), otherName(serving("other")), plain(serving(""));
  ASSERT_TRUE(trusted.running() && otherName.running() && plain.running()) << trusted.error();
  const std::string ca = kCerts + "/ca.pem";
  struct Row {
    const char* name;
    std::string host;
    std::string caFile;
    const char* detail;  // "" for success
  } rows[] = {
      {"trusted CA", trusted.host(), ca, ""},
      {"system trust store", trusted.host(), "", "certificate"},
      {"certificate for another name", otherName.host(), ca, "name"},
      {"https to a plain-HTTP port", "https://" + plain.host(), ca, "TLS: "},
      {"unreadable CA file", trusted.host(), kCerts + "/missing.pem", "TLS: "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Result result = getGroups(row.host, row.caFile);
    ASSERT_TRUE(result);  // promptly: well within the 60 s timeout
    if (*row.detail == '\0') {
      EXPECT_EQ(result->result(), "ok") << result->detail();
      EXPECT_EQ(result->httpStatus(), 200);
    } else {
      EXPECT_EQ(result->reason(), "http");
      EXPECT_NE(result->detail().find(row.detail), std::string::npos) << result->detail();
    }
  }
  // The command-line tool takes the CA file from its environment (or --ca-file).
  const Finished cli =
      runProgram({TAVRELLO_CLI, "get-groups"},
                 {"TAVRELLO_HOST=" + trusted.host(), "TAVRELLO_API_KEY=https-api-key",
                  "TAVRELLO_SERVER_KEY=https-server-key", "TAVRELLO_CA_FILE=" + ca});
  EXPECT_EQ(cli.exitCode, 0) << cli.err;
}

}  // namespace
}  // namespace tavrello::testing
