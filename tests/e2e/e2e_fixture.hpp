// The fixture of the end-to-end tests: a sandbox service of its own for every test, keys
// that appear nowhere else, and a check after every run that no key was printed.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "child_process.hpp"

namespace e2e {

// Distinctive, so that finding them in any output means a key was printed.
inline const std::string kApiKey = "e2e-api-key-5b0d7f31";
inline const std::string kServerKey = "e2e-server-key-c94a2e68";

class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(sandbox_.host().empty()); }

  // Host and both keys of the running sandbox, as the tools read them from the environment.
  Environment serviceEnvironment() const {
    return {{"TAVRELLO_HOST", sandbox_.host()},
            {"TAVRELLO_API_KEY", kApiKey},
            {"TAVRELLO_SERVER_KEY", kServerKey}};
  }

  // Runs `program` and fails the test if its output holds either key.
  RunResult runChecked(const std::string& program, const std::vector<std::string>& arguments,
                       const Environment& environment) {
    RunResult run = runProgram(program, arguments, environment);
    for (const std::string& key : {kApiKey, kServerKey}) {
      EXPECT_EQ(run.out.find(key), std::string::npos) << "a key was printed: " << run.out;
      EXPECT_EQ(run.err.find(key), std::string::npos) << "a key was printed: " << run.err;
    }
    return run;
  }

  Sandbox sandbox_{TAVRELLO_E2E_SANDBOX, kApiKey, kServerKey};
};

// The JSON text `text` as a value; fails the test (and gives null) when it is not JSON.
inline nlohmann::json parseJson(const std::string& text) {
  auto value = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  EXPECT_FALSE(value.is_discarded()) << "not JSON: " << text;
  return value.is_discarded() ? nlohmann::json() : value;
}

}  // namespace e2e
