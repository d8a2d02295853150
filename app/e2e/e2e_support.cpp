#include "e2e_support.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tessaly::app::e2e {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kApplications = "/Applications";

std::string makeTemporaryDirectory(const std::string& pattern) {
  std::string path = pattern;
  if (::mkdtemp(path.data()) == nullptr) return {};
  return path;
}

ApplicationsFolder prepareApplicationsFolder() {
  ApplicationsFolder result;
  struct stat info {};
  if (::stat(kApplications, &info) != 0) {
    if (::mkdir(kApplications, 0755) != 0) {
      result.how = std::string("/Applications does not exist and cannot be made: ") + std::strerror(errno);
      return result;
    }
  } else if (!S_ISDIR(info.st_mode)) {
    result.how = "/Applications is not a folder";
    return result;
  }
  // A private mount namespace (this process is still single-threaded): nothing outside the test sees it.
  if (::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
    const std::string scratch = makeTemporaryDirectory(fs::temp_directory_path().native() + "/tessaly-e2e-apps-XXXXXX");
    if (!scratch.empty() && ::mount(scratch.c_str(), kApplications, nullptr, MS_BIND, nullptr) == 0) {
      result.folder = fs::path(kApplications) / "e2e";
      fs::create_directories(result.folder);
      result.scratch = scratch;
      result.how = "a private mount namespace with " + scratch + " on /Applications";
      return result;
    }
  }
  const std::string unique = makeTemporaryDirectory(std::string(kApplications) + "/tessaly-e2e-XXXXXX");
  if (unique.empty()) {
    result.how = "no private mount namespace (needs CAP_SYS_ADMIN) and /Applications is not writable";
    return result;
  }
  result.folder = unique;
  result.how = "the real /Applications, in " + unique;
  return result;
}

// Runs before main, while the test program has one thread, so that the mount namespace can be made.
const ApplicationsFolder& preparedFolder() {
  static const ApplicationsFolder folder = prepareApplicationsFolder();
  return folder;
}
[[maybe_unused]] const ApplicationsFolder& kPreparedAtStart = preparedFolder();

// Removes the unique folder from the real /Applications (or the scratch folder of the namespace) at exit.
struct Cleanup {
  ~Cleanup() {
    const ApplicationsFolder& folder = preparedFolder();
    std::error_code ignored;
    if (!folder.folder.empty()) fs::remove_all(folder.folder, ignored);
    if (!folder.scratch.empty()) {
      ::umount2(kApplications, MNT_DETACH);
      fs::remove_all(folder.scratch, ignored);
    }
  }
} cleanup;

// The test's environment, without what socket activation would leave, with `extra` entries in place of the
// inherited ones of the same names (a later extra entry wins over an earlier one).
std::vector<std::string> childEnvironment(const std::vector<std::string>& extra) {
  const auto nameOf = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
  const auto overridden = [&](std::string_view entry, std::size_t from) {
    for (std::size_t i = from; i < extra.size(); ++i) {
      if (nameOf(extra[i]) == nameOf(entry)) return true;
    }
    return false;
  };
  std::vector<std::string> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "LISTEN_", 7) != 0 && !overridden(*entry, 0)) envp.emplace_back(*entry);
  }
  for (std::size_t i = 0; i < extra.size(); ++i) {
    if (!overridden(extra[i], i + 1)) envp.push_back(extra[i]);
  }
  return envp;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (std::string& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

const ApplicationsFolder& applicationsFolder() { return preparedFolder(); }

Process::Process(const fs::path& program, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment, const fs::path& standardOutput,
                 const fs::path& standardError) {
  std::vector<std::string> argv{program.native()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<std::string> envp = childEnvironment(environment);
  std::vector<char*> argvPointers = pointers(argv);
  std::vector<char*> envpPointers = pointers(envp);

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, standardOutput.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
  ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, standardError.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  const int failed = ::posix_spawn(&pid_, program.c_str(), &actions, &attributes, argvPointers.data(),
                                   envpPointers.data());
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attributes);
  if (failed != 0) throw std::runtime_error("cannot start " + program.native() + ": " + std::strerror(failed));
}

Process::~Process() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

void Process::signal(int number) const {
  if (!status_) ::kill(pid_, number);
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
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
              const std::vector<std::string>& environment, const fs::path& scratch) {
  static std::atomic<int> counter{0};
  const std::string stem = (scratch / ("run-" + std::to_string(++counter))).native();
  RunResult result;
  {
    Process process(program, arguments, environment, stem + ".out", stem + ".err");
    const std::optional<int> status = process.wait();
    if (status && WIFEXITED(*status)) result.exitCode = WEXITSTATUS(*status);
  }
  result.standardOutput = readFile(stem + ".out");
  result.standardError = readFile(stem + ".err");
  return result;
}

}  // namespace tessaly::app::e2e
