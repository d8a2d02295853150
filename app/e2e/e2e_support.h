// Support for the end-to-end tests: a place under /Applications, signed peers, and processes with logs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <memory>
#include <vector>

#include "tessaly/testing/child_process.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/signed_peers.h"

namespace tessaly::app::e2e {

inline constexpr const char* kAgentIdentifier = TESSALY_AGENT_IDENTIFIER;

// Where agent bundles may be put so that their path begins with "/Applications": a private mount namespace
// with a temporary folder mounted on /Applications when the process may make one, otherwise a unique folder
// in the real /Applications (made if missing). Set up once per test program, before any thread starts.
struct ApplicationsFolder {
  std::filesystem::path folder;  // "/Applications/..."; empty when neither way works
  std::string how;               // what was done, or why nothing could be
  std::filesystem::path scratch;  // the folder mounted on /Applications in the private namespace, if any
};
const ApplicationsFolder& applicationsFolder();

using tessaly::testing::eventually;
using tessaly::testing::readFile;
using tessaly::testing::writeFile;

using tessaly::testing::ChildProcess;
using tessaly::testing::RunResult;
using tessaly::testing::Streams;

// A process with standard output and standard error appended to files.
inline std::unique_ptr<ChildProcess> startLogged(const std::filesystem::path& program,
                                                 const std::vector<std::string>& arguments,
                                                 const std::vector<std::string>& environment,
                                                 const std::filesystem::path& standardOutput,
                                                 const std::filesystem::path& standardError) {
  return std::make_unique<ChildProcess>(program, arguments, environment, Streams{standardOutput, standardError});
}

// Runs a program to completion with its output in files of `scratch` (a program it starts may outlive it).
RunResult run(const std::filesystem::path& program, const std::vector<std::string>& arguments,
              const std::vector<std::string>& environment, const std::filesystem::path& scratch);

}  // namespace tessaly::app::e2e
