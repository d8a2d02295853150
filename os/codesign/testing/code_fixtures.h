// Fixtures for tests and benchmarks of code signing: temporary directories, bundles, signing, child processes.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaly::codesign::testing {

inline constexpr std::string_view kTeam = "Q7RM2KX9WD";

// A fresh directory under the system's temporary directory, removed with everything in it on destruction.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
};

// The built program that only waits (see sleeper.cpp).
std::filesystem::path sleeperPath();
// A built shared library that nobody signs (see unsigned_library.cpp).
std::filesystem::path unsignedLibraryPath();

void writeFile(const std::filesystem::path& file, std::string_view bytes);
std::string readFile(const std::filesystem::path& file);
void copyExecutable(const std::filesystem::path& from, const std::filesystem::path& to);

struct BundleLayout {
  std::string name = "Peer";                 // NAME.app, and the executable's name
  std::string identifier = "com.example.peer";
  std::filesystem::path executable;          // copied into Contents/MacOS/<name>
  std::vector<std::pair<std::string, std::string>> files;  // more files: relative path, contents
  bool binaryInfoPlist = false;
};

// Makes parent/NAME.app and returns its path.
std::filesystem::path makeBundle(const std::filesystem::path& parent, const BundleLayout& layout);

// Makes a development authority in `dir` for `team`; throws on failure.
void makeDevPki(const std::filesystem::path& dir, std::string_view team = kTeam);

// Signs `target` with the identity file (and entitlements, a property list); throws on failure.
void sign(const std::filesystem::path& target, const std::filesystem::path& identity,
          const std::optional<std::string>& identifier = std::nullopt,
          const std::optional<std::string>& entitlements = std::nullopt);

// A process started from `program` with standard streams on /dev/null and extra NAME=VALUE environment entries;
// killed and reaped on destruction.
class ChildProcess {
 public:
  explicit ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments = {},
                        const std::vector<std::string>& environment = {});
  // Takes over a child that the caller started.
  static ChildProcess adopt(pid_t pid) { return ChildProcess(pid); }
  ChildProcess(ChildProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  pid_t pid() const noexcept { return pid_; }
  void stop();

 private:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  pid_t pid_ = -1;
};

struct RunResult {
  int exitCode = -1;
  std::string standardOutput;
  std::string standardError;
};

// Runs a program to completion with extra NAME=VALUE environment entries (which override inherited ones).
RunResult run(const std::filesystem::path& program, const std::vector<std::string>& arguments,
              const std::vector<std::string>& environment = {});

// The lines of `text`, without line feeds.
std::vector<std::string> lines(const std::string& text);
// The messages of log lines written to standard error (TESSALY_LOG=stderr), without their priority prefix.
std::vector<std::string> logMessages(const std::string& text);

}  // namespace tessaly::codesign::testing
