// Who started the host: the extension the browser names in the arguments, whether a manifest of this host
// allows it, and the parent process, held from the start so that its identity cannot change under the checks.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "manifests.h"

namespace tessaly::nmhost {

// The caller as the browser names it: Chromium-family browsers pass the origin ("chrome-extension://ID/"),
// Firefox the path of the manifest it read and the extension id.
struct Caller {
  Family family;
  std::string origin;                             // the origin, or the Firefox extension id
  std::optional<std::filesystem::path> manifest;  // Firefox: the manifest it used
};

// The caller from the host's arguments (without the program name); nothing, with the reason in `why`, for
// arguments no browser passes.
std::optional<Caller> callerFromArguments(std::span<const std::string> arguments, std::string& why);

// The manifests that may have started this host for `caller`: for Firefox the one it named; for the Chromium
// family every place of every such browser, user-wide and system-wide, and the NativeMessagingHosts folder of
// the profile folder the browser was started with (--user-data-dir), if any.
std::vector<std::filesystem::path> candidateManifests(const Caller& caller, const PlaceRoots& roots,
                                                      const std::vector<std::string>& browserCommandLine);

// True when one of `manifests` is this host's (its name, and a path that names the program `self`) and allows
// the caller. Otherwise false, with the reason in `why`.
bool callerAllowed(const Caller& caller, const std::vector<std::filesystem::path>& manifests,
                   const std::filesystem::path& self, std::string& why);

// The process that started this one, pinned at the start: its process identifier can name no other process
// for as long as stillOurParent() says so.
class ParentProcess {
 public:
  // Reads the parent now. Nothing, with the reason in `why`, when it has already gone.
  static std::optional<ParentProcess> capture(std::string& why);

  ParentProcess(ParentProcess&& other) noexcept;
  ParentProcess& operator=(ParentProcess&&) = delete;
  ~ParentProcess();

  pid_t pid() const noexcept { return pid_; }
  // Its executable and command line, as read at the start.
  const std::string& executable() const noexcept { return executable_; }
  const std::vector<std::string>& commandLine() const noexcept { return commandLine_; }
  // True while the process read at the start is alive and still this process's parent.
  bool stillOurParent() const;
  // True when `isBrowser` says so of the parent's process identifier and the parent is still this process's
  // afterwards, so that the answer was about the process that started this one and not a successor.
  bool isBrowser(const std::function<bool(pid_t)>& isBrowser) const { return isBrowser(pid_) && stillOurParent(); }

 private:
  ParentProcess() = default;
  pid_t pid_ = -1;
  int pidfd_ = -1;
  std::string executable_;
  std::vector<std::string> commandLine_;
};

// The names of the dynamic loader's variables in `environment` (LD_PRELOAD, LD_LIBRARY_PATH and every other
// LD_*, GLIBC_TUNABLES), which would have the loader put other code into this program.
std::vector<std::string> loaderVariables(char** environment);

// Starts this program again, as the same process with the same arguments and descriptors, with `environment`
// less the variables named. Returns only when that fails, with the reason in `why`.
void restartWithout(const std::vector<std::string>& names, char** argv, char** environment, std::string& why);

}  // namespace tessaly::nmhost
