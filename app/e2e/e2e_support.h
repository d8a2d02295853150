// Support for the end-to-end tests: a place under /Applications, signed peers, and processes with logs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "appkit_fixtures.h"

namespace tessaly::app::e2e {

inline constexpr const char* kAgentIdentifier = "Q7RM2KX9WD.com.tessaly.browser-helper";

// Where agent bundles may be put so that their path begins with "/Applications": a private mount namespace
// with a temporary folder mounted on /Applications when the process may make one, otherwise a unique folder
// in the real /Applications (made if missing). Set up once per test program, before any thread starts.
struct ApplicationsFolder {
  std::filesystem::path folder;  // "/Applications/..."; empty when neither way works
  std::string how;               // what was done, or why nothing could be
  std::filesystem::path scratch;  // the folder mounted on /Applications in the private namespace, if any
};
const ApplicationsFolder& applicationsFolder();

using appkit::testing::eventually;
using appkit::testing::readFile;
using appkit::testing::writeFile;

// A process with standard output and standard error written to files, killed and reaped on destruction. Its
// environment is the test's, with `environment`'s NAME=VALUE entries in place of inherited ones.
class Process {
 public:
  Process(const std::filesystem::path& program, const std::vector<std::string>& arguments,
          const std::vector<std::string>& environment, const std::filesystem::path& standardOutput,
          const std::filesystem::path& standardError);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const noexcept { return pid_; }
  void signal(int number) const;
  // The wait status once the process has ended, or nothing after `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

struct RunResult {
  int exitCode = -1;  // -1: did not end in time or was killed
  std::string standardOutput;
  std::string standardError;
};
RunResult run(const std::filesystem::path& program, const std::vector<std::string>& arguments,
              const std::vector<std::string>& environment, const std::filesystem::path& scratch);

}  // namespace tessaly::app::e2e
