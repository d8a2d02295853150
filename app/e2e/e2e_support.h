// Support for the end-to-end tests: a place under /Applications, the built agent bundle and tools, peers signed
// by the development authority of the build, and a fixture that runs the agent with its log in a file.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tessaly/broker/broker_log.h"
#include "tessaly/testing/child_process.h"
#include "tessaly/testing/files.h"

namespace tessaly::app::e2e {

namespace fs = std::filesystem;
namespace log_lines = tessaly::broker::log_lines;
using tessaly::testing::ChildProcess;
using tessaly::testing::eventually;
using tessaly::testing::occurrences;
using tessaly::testing::readFile;
using tessaly::testing::RunResult;
using tessaly::testing::writeFile;

inline constexpr const char* kAgentIdentifier = TESSALY_AGENT_IDENTIFIER;
inline const fs::path kBundle = TESSALY_AGENT_BUNDLE;
inline const fs::path kDevPki = TESSALY_DEV_PKI;
inline const fs::path kPeerTool = TESSALY_PEER_TOOL;

// Where agent bundles may be put so that their path begins with "/Applications": a private mount namespace
// with a temporary folder mounted on /Applications when the process may make one, otherwise a unique folder
// in the real /Applications (made if missing). Set up once per test program, before any thread starts.
struct ApplicationsFolder {
  fs::path folder;  // "/Applications/..."; empty when neither way works
  std::string how;  // what was done, or why nothing could be
};
const ApplicationsFolder& applicationsFolder();

// Signs `target` with the build's development identity `identity` through tessaly-codesign; throws on failure.
void sign(const fs::path& target, const std::string& identity, const std::string& identifier);

// A test that runs the agent: a folder of its own under /Applications (place_, empty when none could be had), a
// scratch folder with the IPC socket folder and a home, and the agent's log.
class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  static std::string whyNotUnderApplications() {
    return "cannot run the agent from under /Applications: " + applicationsFolder().how;
  }
  // A copy of the signed agent bundle in `parent`, and the agent's program in such a bundle.
  static fs::path installAgent(const fs::path& parent);
  static fs::path agentProgram(const fs::path& bundle) { return bundle / "Contents/MacOS" / kBundle.stem(); }
  std::vector<std::string> environment() const;
  // Starts the agent of `bundle` with its standard output and error in `log`.
  std::unique_ptr<ChildProcess> launch(const fs::path& bundle, const fs::path& log) const;
  void launch(const fs::path& bundle) { agent_ = launch(bundle, log()); }
  fs::path log() const { return scratch_ / "agent.log"; }
  std::string logText() const { return readFile(log()); }
  fs::path socket() const { return scratch_ / "xpc" / kAgentIdentifier; }
  bool listening() const {
    return eventually(
        [&] { return fs::exists(socket()) && occurrences(logText(), log_lines::resumingListener.text) == 1; });
  }

  fs::path place_;
  std::unique_ptr<tessaly::testing::TemporaryDirectory> scratchFolder_;
  fs::path scratch_;
  std::unique_ptr<ChildProcess> agent_;
};

}  // namespace tessaly::app::e2e
