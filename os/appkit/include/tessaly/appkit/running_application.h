// Running processes as applications: the executable of a process and the bundle it lies in.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "tessaly/appkit/url.h"

namespace tessaly::appkit {

// A snapshot of one process, taken when it is looked up.
class NSRunningApplication {
 public:
  // The process with this identifier; nullptr if there is no such process.
  static std::shared_ptr<NSRunningApplication> runningApplicationWithProcessIdentifier(pid_t pid);
  // This process.
  static std::shared_ptr<NSRunningApplication> currentApplication();

  pid_t processIdentifier() const noexcept { return pid_; }
  // The file the process was started from (/proc/PID/exe); empty when it cannot be read.
  const std::string& executablePath() const noexcept { return executablePath_; }
  // Set only when the executable is the main executable (Contents/MacOS/<CFBundleExecutable>) of a bundle that
  // has an identifier.
  const std::optional<std::string>& bundleIdentifier() const noexcept { return bundleIdentifier_; }
  // Set when the executable is the main executable of a bundle (a NAME.app directory with a readable
  // Info.plist); a helper elsewhere inside a bundle has none.
  const std::optional<std::string>& bundlePath() const noexcept { return bundlePath_; }
  // The bundle as a file URL, when there is one.
  std::optional<NSURL> bundleURL() const;

  NSRunningApplication(pid_t pid, std::string executablePath, std::optional<std::string> bundlePath,
                       std::optional<std::string> bundleIdentifier)
      : pid_(pid),
        executablePath_(std::move(executablePath)),
        bundlePath_(std::move(bundlePath)),
        bundleIdentifier_(std::move(bundleIdentifier)) {}

 private:
  pid_t pid_;
  std::string executablePath_;
  std::optional<std::string> bundlePath_;
  std::optional<std::string> bundleIdentifier_;
};

}  // namespace tessaly::appkit
