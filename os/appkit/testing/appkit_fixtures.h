// Fixtures for the application-services tests: temporary directories, bundles and child processes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tessaly::appkit::testing {

// A fresh directory under the system's temporary directory (or `parent`), removed with its contents.
class TemporaryDirectory {
 public:
  explicit TemporaryDirectory(const std::filesystem::path& parent = std::filesystem::temp_directory_path());
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& file, const std::string& bytes);
std::string readFile(const std::filesystem::path& file);

struct BundleSpec {
  std::string name = "Sample";                    // NAME.app
  std::optional<std::string> identifier = "com.example.sample";
  std::string executableName = "Sample";          // CFBundleExecutable
  std::optional<std::filesystem::path> executable;  // copied to Contents/MacOS/<executableName>
  bool binaryInfoPlist = false;
};

// Makes parent/NAME.app and returns its path.
std::filesystem::path makeBundle(const std::filesystem::path& parent, const BundleSpec& spec);

// The helper program built beside the tests (testing/test_app.cpp).
std::filesystem::path testAppPath();

// A child process with standard input and output on pipes; killed and reaped on destruction.
class ChildProcess {
 public:
  ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const noexcept { return pid_; }
  // Waits up to `timeout` for a whole line of standard output; nothing at end of file or time-out.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Writes one line (a line feed is added) to its standard input; false when it no longer reads (with SIGPIPE
  // ignored).
  bool writeLine(const std::string& line);
  void signal(int number) const;
  // Waits up to `timeout` for the process to end; its wait status, or nothing on time-out.
  std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  int input_ = -1;
  std::string buffered_;
  std::optional<int> status_;
};

// Polls `condition` every few milliseconds until it holds or `timeout` passes.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace tessaly::appkit::testing
