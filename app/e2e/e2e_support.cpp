#include "e2e_support.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

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

}  // namespace

const ApplicationsFolder& applicationsFolder() { return preparedFolder(); }

RunResult run(const fs::path& program, const std::vector<std::string>& arguments,
              const std::vector<std::string>& environment, const fs::path& scratch) {
  static std::atomic<int> counter{0};
  const std::string stem = (scratch / ("run-" + std::to_string(++counter))).native();
  RunResult result;
  {
    ChildProcess process(program, arguments, environment, Streams{stem + ".out", stem + ".err"});
    const std::optional<int> status = process.wait();
    if (status && WIFEXITED(*status)) result.exitCode = WEXITSTATUS(*status);
  }
  result.standardOutput = readFile(stem + ".out");
  result.standardError = readFile(stem + ".err");
  return result;
}

}  // namespace tessaly::app::e2e
