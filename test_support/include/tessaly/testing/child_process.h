// Child processes for tests: started with their streams on pipes or files, waited for, killed when let go.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tessaly::testing {

// Where a child's streams go: standard output and standard error appended to these files, standard input read
// from one. When empty, standard output is a pipe that readLine() reads, standard error is the test's and
// standard input a pipe that writeLine() writes.
struct Streams {
  Streams(std::filesystem::path output = {}, std::filesystem::path error = {}, std::filesystem::path input = {})
      : standardOutput(std::move(output)), standardError(std::move(error)), standardInput(std::move(input)) {}
  std::filesystem::path standardOutput;
  std::filesystem::path standardError;
  std::filesystem::path standardInput;
};

// A started program. Its environment is the test's, without what socket activation would leave (LISTEN_*),
// with `environment`'s NAME=VALUE entries in place of inherited ones of the same name.
class ChildProcess {
 public:
  ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments = {},
               const std::vector<std::string>& environment = {}, const Streams& streams = {});
  // Takes over a child that the caller started.
  static ChildProcess adopt(pid_t pid) { return ChildProcess(pid); }
  ChildProcess(ChildProcess&& other) noexcept
      : pid_(std::exchange(other.pid_, -1)),
        output_(std::exchange(other.output_, -1)),
        input_(std::exchange(other.input_, -1)),
        buffered_(std::move(other.buffered_)),
        status_(other.status_) {}
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const noexcept { return pid_; }
  // Waits up to `timeout` for a whole line of standard output; nothing at end of file or time-out.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Writes one line (a line feed is added) to standard input; false when the child no longer reads.
  bool writeLine(const std::string& line);
  // Closes standard input: the child reads end of file.
  void closeInput();
  void signal(int number) const;
  // Waits up to `timeout` for the process to end: its wait status, or nothing on time-out.
  std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Kills and reaps it now.
  void stop();

 private:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  pid_t pid_ = -1;
  int output_ = -1;
  int input_ = -1;
  std::string buffered_;
  std::optional<int> status_;
};

struct RunResult {
  int exitCode = -1;  // 128 + the signal's number when a signal ended it
  std::string standardOutput;
  std::string standardError;
};

// Runs a program to completion (killed after `timeout`), with the environment as ChildProcess makes it and
// standard input on /dev/null.
RunResult run(const std::filesystem::path& program, const std::vector<std::string>& arguments,
              const std::vector<std::string>& environment = {},
              std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace tessaly::testing
