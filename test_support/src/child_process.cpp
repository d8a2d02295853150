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
#include <thread>

extern char** environ;

namespace tessaly::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The test's environment, without LISTEN_*, with `extra` entries in place of the inherited ones of the same
// names (a later extra entry wins over an earlier one).
std::vector<std::string> childEnvironment(const std::vector<std::string>& extra) {
  const auto nameOf = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
  const auto overridden = [&](std::string_view entry, std::size_t from) {
    for (std::size_t i = from; i < extra.size(); ++i) {
      if (nameOf(extra[i]) == nameOf(entry)) return true;
    }
    return false;
  };
  std::vector<std::string> out;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "LISTEN_", 7) != 0 && !overridden(*entry, 0)) out.emplace_back(*entry);
  }
  for (std::size_t i = 0; i < extra.size(); ++i) {
    if (!overridden(extra[i], i + 1)) out.push_back(extra[i]);
  }
  return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& text : strings) out.push_back(text.data());
  out.push_back(nullptr);
  return out;
}

// Starts `program` with the given actions and every signal unblocked; throws when it cannot.
pid_t spawn(const fs::path& program, const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
            posix_spawn_file_actions_t& actions) {
  std::vector<std::string> argv{program.native()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<std::string> envp = childEnvironment(environment);
  std::vector<char*> argvPointers = pointers(argv);
  std::vector<char*> envpPointers = pointers(envp);
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int failed = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argvPointers.data(), envpPointers.data());
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error("cannot start " + program.native() + ": " + std::strerror(failed));
  return pid;
}

void reap(pid_t pid, int& status) {
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

ChildProcess::ChildProcess(const fs::path& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment, const Streams& streams) {
  int output[2] = {-1, -1};
  int input[2];
  if (::pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (streams.standardOutput.empty() && ::pipe2(output, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  constexpr int kAppend = O_WRONLY | O_CREAT | O_APPEND;
  if (streams.standardOutput.empty()) {
    ::posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  } else {
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, streams.standardOutput.c_str(), kAppend, 0600);
  }
  if (!streams.standardError.empty()) {
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, streams.standardError.c_str(), kAppend, 0600);
  }
  input_ = input[1];
  output_ = output[0];
  try {
    pid_ = spawn(program, arguments, environment, actions);
  } catch (...) {
    for (int fd : {input[0], input[1], output[0], output[1]}) {
      if (fd >= 0) ::close(fd);
    }
    throw;
  }
  ::close(input[0]);
  if (output[1] >= 0) ::close(output[1]);
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
  reap(pid_, status);
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
  const auto deadline = Clock::now() + timeout;
  do {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = status;
      return status_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  } while (Clock::now() < deadline);
  return std::nullopt;
}

RunResult run(const fs::path& program, const std::vector<std::string>& arguments,
              const std::vector<std::string>& environment, std::chrono::milliseconds timeout) {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  pid_t pid = -1;
  try {
    pid = spawn(program, arguments, environment, actions);
  } catch (...) {
    for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
    throw;
  }
  ::close(out[1]);
  ::close(err[1]);
  RunResult result;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.standardOutput, &result.standardError};
  int open = 2;
  while (open > 0) {
    const int ready = ::poll(fds, 2, static_cast<int>(timeout.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      ::kill(pid, SIGKILL);
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buffer[4096];
      const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (pollfd& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  int status = 0;
  reap(pid, status);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace tessaly::testing
