// HTTPS end to end, against the sandbox serving TLS with certificates made for this run
// (support/make_certs.sh): the peer is always verified, against the system's trust store
// or the CA file given, and every refusal says why.
#include <gtest/gtest.h>

#include <tavrello/sandbox.hpp>
#include <tavrello/tavrello.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "support/client.hpp"
#include "support/run_program.hpp"

namespace tavrello::testing {
namespace {

using namespace std::chrono_literals;

const std::string kCerts = TAVRELLO_TEST_CERTS;

sandbox::Options serving(const std::string& certificate) {
  sandbox::Options options = sandboxOptions();
  if (!certificate.empty()) {
    options.tlsCertFile = kCerts + "/" + certificate + ".pem";
    options.tlsKeyFile = kCerts + "/" + certificate + ".key";
  }
  return options;
}

// The CA file is set before the host: a later host keeps it.
TavrelloAPI& clientWith(const std::string& caFile, const std::string& host) {
  TavrelloAPI::shared().setCaFile(caFile);
  return clientFor(host);
}

TEST(Https, VerifiesThePeerAgainstTheTrustStoreOrTheGivenCa) {
  sandbox::Sandbox trusted(serving("server")), otherName(serving("other")), plain(serving(""));
  ASSERT_TRUE(trusted.running() && otherName.running() && plain.running()) << trusted.error();
  const std::string ca = kCerts + "/ca.pem", fifo = kCerts + "/fifo.pem";
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Row {
    const char* name;
    std::string host;
    std::string caFile;
    const char* detail;  // "" for success
  } rows[] = {
      {"trusted CA", trusted.host(), ca, ""},
      {"system trust store", trusted.host(), "", "certificate"},
      {"certificate for another name", otherName.host(), ca, "name"},
      {"missing CA file", trusted.host(), kCerts + "/missing.pem", "TLS: CA file not found: /"},
      // Opening a FIFO would block until a writer came: it never reaches libcurl.
      {"CA file that is a FIFO", trusted.host(), fifo, "CA file is not a regular file"},
      {"plain http after it", plain.host(), fifo, ""},
      // The other scheme than the port speaks: the detail names the likely cause.
      {"https to plain http", "https://" + plain.host(), ca, "seems to speak plain http, not"},
      {"http to https", "http://" + trusted.host().substr(8), ca, "may speak https, not plain"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Result result = callOnce(clientWith(row.caFile, row.host));
    ASSERT_TRUE(result);  // promptly: well within the 60 s timeout
    if (*row.detail == '\0') {
      EXPECT_EQ(result->result(), "ok") << result->detail();
      EXPECT_EQ(result->httpStatus(), 200);
    } else {
      EXPECT_EQ(result->reason(), "http");
      EXPECT_NE(result->detail().find(row.detail), std::string::npos) << result->detail();
    }
  }
  ::unlink(fifo.c_str());
  // The command-line tool takes the CA file from its environment (or --ca-file).
  const Finished cli = runProgram({TAVRELLO_CLI, "get-groups"},
                                  {"TAVRELLO_HOST=" + trusted.host(), "TAVRELLO_API_KEY=" + kApiKey,
                                   "TAVRELLO_SERVER_KEY=" + kServerKey, "TAVRELLO_CA_FILE=" + ca});
  EXPECT_EQ(cli.exitCode, 0) << cli.err;
}

// The sandbox closes connections idle for 1 s (over TLS with a close-notify), as servers do
// after a few seconds: calls after a longer pause never meet those dead connections.
// A new connection to a host seen before resumes its TLS session, whichever of the
// library's handles opens it: two requests held at once take a handle new to the host, and a
// write takes a connection of its own.
TEST(Https, NewConnectionsResumeTheSession) {
  sandbox::Sandbox service(serving("server"));
  ASSERT_TRUE(service.running()) << service.error();
  auto& api = clientWith(kCerts + "/ca.pem", service.host());
  ASSERT_EQ(callOnce(api)->result(), "ok");
  service.injectFault(held("getGroups", 0, 2));
  std::size_t done = 0;
  for (int i = 0; i < 2; ++i) api.getGroups([&](Result) { ++done; });
  ASSERT_TRUE(service.waitForRequests(3, 30s));
  service.releaseDelayed();
  ASSERT_TRUE(drainUntil([&] { return done == 2; }));
  ASSERT_EQ(
      callOnce(api, [](TavrelloAPI& client,
                       CompletionHandler handler) { client.createGroup("g", std::move(handler)); })
          ->result(),
      "ok");
  std::vector<int> ports;  // one per connection
  for (const sandbox::Request& request : service.requests()) {
    if (std::find(ports.begin(), ports.end(), request.peerPort) != ports.end()) continue;
    ports.push_back(request.peerPort);
    EXPECT_EQ(request.tlsResumed, ports.size() > 1) << request.operation << " " << ports.size();
  }
  EXPECT_GE(ports.size(), 3u);
}

TEST(Https, CallsAfterTheServerClosedIdleConnectionsSucceed) {
  for (const char* certificate : {"server", ""}) {
    SCOPED_TRACE(*certificate ? "https" : "http");
    sandbox::Sandbox service(serving(certificate));
    ASSERT_TRUE(service.running()) << service.error();
    auto& api = clientWith(kCerts + "/ca.pem", service.host());
    std::size_t done = 0;
    std::vector<std::string> failures;
    const auto count = [&](Result r) {
      ++done;
      if (r->result() != "ok") failures.push_back(r->detail());
    };
    for (int i = 0; i < 64; ++i) api.getGroups(count);
    ASSERT_TRUE(drainUntil([&] { return done == 64; }));
    std::this_thread::sleep_for(1500ms);
    for (std::size_t i = 65; i <= 80; ++i) {
      api.getGroups(count);
      ASSERT_TRUE(drainUntil([&] { return done == i; }));
    }
    EXPECT_EQ(failures, std::vector<std::string>{});
    EXPECT_EQ(service.requests().size(), 80u);  // none reached it twice
  }
}

// A sandbox that cannot serve HTTPS with the files given says why.
TEST(Https, ASandboxThatCannotServeSaysWhy) {
  const std::string cert = kCerts + "/server.pem", key = kCerts + "/server.key",
                    otherKey = kCerts + "/other.key", missing = kCerts + "/missing.pem";
  const struct {
    std::string cert, key, why;
  } rows[] = {
      {cert, "", "it needs both a certificate file and a key file"},
      {missing, key, "cannot read " + missing + ": no such file or directory"},
      {key, key, key + " holds no PEM certificate"},
      {cert, cert, cert + " holds no PEM private key (or one that needs a passphrase)"},
      {cert, otherKey, "the key in " + otherKey + " does not match the certificate in " + cert},
  };
  for (const auto& row : rows) {
    sandbox::Options options = sandboxOptions();
    options.tlsCertFile = row.cert;
    options.tlsKeyFile = row.key;
    EXPECT_EQ(sandbox::Sandbox(options).error(),
              "cannot serve HTTPS with that certificate and key file: " + row.why);
  }
}

}  // namespace
}  // namespace tavrello::testing
