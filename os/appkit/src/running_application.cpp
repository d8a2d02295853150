#include "tessaly/appkit/running_application.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "process_files.h"
#include "tessaly/appkit/bundle.h"

namespace tessaly::appkit {
namespace {

bool processExists(pid_t pid) {
  if (pid <= 0) return false;
  struct stat info {};
  return ::stat(("/proc/" + std::to_string(pid)).c_str(), &info) == 0;
}

}  // namespace

std::shared_ptr<NSRunningApplication> NSRunningApplication::runningApplicationWithProcessIdentifier(pid_t pid) {
  if (!processExists(pid)) return nullptr;
  std::optional<std::string> executable = detail::executableOfProcess(std::to_string(pid));
  // The link may be unreadable (a process of another user); the process still exists.
  if (!executable && !processExists(pid)) return nullptr;
  std::optional<std::string> bundlePath;
  std::optional<std::string> bundleIdentifier;
  if (executable) {
    if (std::optional<std::string> candidate = NSBundle::bundlePathContaining(*executable)) {
      std::shared_ptr<NSBundle> bundle = NSBundle::bundleWithPath(*candidate);
      // Only the bundle's main executable runs as the application; a helper inside it (Contents/Helpers/...)
      // is a program of its own, with no bundle and no identifier.
      if (bundle && bundle->executablePath() == *executable) {
        bundlePath = bundle->bundlePath();
        bundleIdentifier = bundle->bundleIdentifier();
      }
    }
  }
  return std::make_shared<NSRunningApplication>(pid, executable.value_or(std::string{}), std::move(bundlePath),
                                                std::move(bundleIdentifier));
}

std::shared_ptr<NSRunningApplication> NSRunningApplication::currentApplication() {
  return runningApplicationWithProcessIdentifier(::getpid());
}

std::optional<NSURL> NSRunningApplication::bundleURL() const {
  if (!bundlePath_) return std::nullopt;
  return NSURL::fileURLWithPath(*bundlePath_);
}

}  // namespace tessaly::appkit
