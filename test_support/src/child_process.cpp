#include "tessaly/testing/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "tessaly/testing/files.h"

extern char** environ;

namespace tessaly::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The test's environment, without LISTEN_*, with `extra` entries in place of the inherited ones of the same
// names (a later extra entry wins over an earlier one).
std::vector<std::string> childEnvironment(const std::vector<std::string>& extra) {
  const auto nameOf = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> out;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "LISTEN_", 7) != 0) out.emplace_back(*entry);
  }
  for (const std::string& entry : extra) {
    std::erase_if(out, [&](const std::string& old) { return nameOf(old) == nameOf(entry); });
    out.push_back(entry);
  }
  return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& text : strings) out.push_back(text.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

ChildProcess::ChildProcess(const fs::path& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment, const Streams& streams) {
  int input[2] = {-1, -1};
  int output[2] = {-1, -1};
  if (streams.standardInput.empty() && ::pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (streams.standardOutput.empty() && ::pipe2(output, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  input_ = input[1];
  output_ = output[0];
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  // Each stream goes to its file when one is named, else to its pipe (standard error: to the test's).
  const auto connect = [&](int stream, const fs::path& file, int pipeEnd, int flags) {
    if (!file.empty()) {
      ::posix_spawn_file_actions_addopen(&actions, stream, file.c_str(), flags, 0600);
    } else if (pipeEnd >= 0) {
      ::posix_spawn_file_actions_adddup2(&actions, pipeEnd, stream);
    }
  };
  connect(STDIN_FILENO, streams.standardInput, input[0], O_RDONLY);
  connect(STDOUT_FILENO, streams.standardOutput, output[1], O_WRONLY | O_CREAT | O_APPEND);
  connect(STDERR_FILENO, streams.standardError, -1, O_WRONLY | O_CREAT | O_APPEND);
  std::vector<std::string> argv{program.native()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<std::string> envp = childEnvironment(environment);
  std::vector<char*> argvPointers = pointers(argv);
  std::vector<char*> envpPointers = pointers(envp);
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  ::posix_spawnattr_setsigmask(&attributes, &none);  // every signal unblocked
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  const int failed =
      ::posix_spawn(&pid_, program.c_str(), &actions, &attributes, argvPointers.data(), envpPointers.data());
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  for (int fd : {input[0], output[1], failed != 0 ? input_ : -1, failed != 0 ? output_ : -1}) {
    if (fd >= 0) ::close(fd);
  }
  if (failed != 0) throw std::runtime_error("cannot start " + program.native() + ": " + std::strerror(failed));
}

ChildProcess::~ChildProcess() {
  stop();
  if (output_ >= 0) ::close(output_);
  if (input_ >= 0) ::close(input_);
}

void ChildProcess::stop() {
  if (pid_ <= 0 || status_) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {}
  status_ = status;
}

bool ChildProcess::writeLine(const std::string& line) {
  const std::string text = line + "\n";
  return ::write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProcess::closeInput() {
  if (input_ >= 0) ::close(std::exchange(input_, -1));
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (const std::size_t end = buffered_.find('\n'); end != std::string::npos) {
      std::string line = buffered_.substr(0, end);
      buffered_.erase(0, end + 1);
      return line;
    }
    if (output_ < 0) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd descriptor{output_, POLLIN, 0};
    if (::poll(&descriptor, 1, static_cast<int>(std::max<std::int64_t>(0, left.count()))) <= 0) {
      if (Clock::now() >= deadline) return std::nullopt;
      continue;
    }
    char chunk[512];
    const ssize_t n = ::read(output_, chunk, sizeof chunk);
    if (n == 0) return std::nullopt;
    if (n > 0) buffered_.append(chunk, static_cast<std::size_t>(n));
  }
}

void ChildProcess::signal(int number) const {
  if (pid_ > 0 && !status_) ::kill(pid_, number);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (status_ || pid_ <= 0) return status_;
  int status = 0;
  if (eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout)) status_ = status;
  return status_;
}

RunResult run(const fs::path& program, const std::vector<std::string>& arguments,
              const std::vector<std::string>& environment, std::chrono::milliseconds timeout) {
  // Files rather than pipes: a program it starts may outlive it and keep a pipe open.
  const TemporaryDirectory folder;
  RunResult result;
  {
    ChildProcess process(program, arguments, environment,
                         Streams{folder.path() / "out", folder.path() / "err", "/dev/null"});
    const std::optional<int> status = process.wait(timeout);
    if (status) result.exitCode = WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
  }
  result.standardOutput = readFile(folder.path() / "out");
  result.standardError = readFile(folder.path() / "err");
  return result;
}

}  // namespace tessaly::testing
