#include "caller.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

namespace tessaly::nmhost {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kUserDataDir = "--user-data-dir=";

bool sameFile(const fs::path& a, const fs::path& b) {
  struct stat first {
  }, second{};
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

std::vector<std::string> commandLineOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> arguments;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\0', start);
    if (end == std::string::npos) end = bytes.size();
    arguments.emplace_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return arguments;
}

}  // namespace

std::optional<Caller> callerFromArguments(std::span<const std::string> arguments, std::string& why) {
  if (!arguments.empty()) {
    if (std::optional<std::string> origin = chromiumOrigin(arguments[0]);
        origin && arguments[0].starts_with("chrome-extension://")) {
      return Caller{Family::chromium, *origin, std::nullopt};
    }
    if (arguments.size() >= 2 && arguments[0].starts_with("/") && arguments[0].ends_with(".json") &&
        isFirefoxExtensionId(arguments[1])) {
      return Caller{Family::firefox, arguments[1], fs::path(arguments[0])};
    }
  }
  why =
      "the arguments name no extension (a browser passes chrome-extension://ID/, or a manifest path and an "
      "extension id)";
  return std::nullopt;
}

std::vector<fs::path> candidateManifests(const Caller& caller, const PlaceRoots& roots,
                                         const std::vector<std::string>& browserCommandLine) {
  if (caller.family == Family::firefox) return {*caller.manifest};
  std::vector<fs::path> files;
  for (const std::string& argument : browserCommandLine) {
    if (argument.starts_with(kUserDataDir) && argument.size() > kUserDataDir.size() + 1 &&
        argument[kUserDataDir.size()] == '/') {
      files.push_back(fs::path(argument.substr(kUserDataDir.size())) / "NativeMessagingHosts" /
                      (std::string(kHostName) + ".json"));
    }
  }
  for (Scope scope : {Scope::user, Scope::system}) {
    if (scope == Scope::user && roots.home.empty()) continue;
    for (const ManifestPlace& place : manifestPlaces(scope, {}, roots)) {
      if (place.family == Family::chromium) files.push_back(place.file());
    }
  }
  return files;
}

bool callerAllowed(const Caller& caller, const std::vector<fs::path>& manifests, const fs::path& self,
                   std::string& why) {
  std::size_t ours = 0;
  for (const fs::path& file : manifests) {
    std::string unreadable;
    const std::optional<Manifest> manifest = readManifest(file, caller.family, unreadable);
    if (!manifest || manifest->name != kHostName || !sameFile(manifest->path, self)) continue;
    ++ours;
    if (std::find(manifest->allowed.begin(), manifest->allowed.end(), caller.origin) != manifest->allowed.end()) {
      return true;
    }
  }
  why = ours == 0 ? "no manifest of " + std::string(kHostName) + " names this program (" + self.native() + ")"
                  : "no manifest of " + std::string(kHostName) + " for this program allows it (" +
                        std::to_string(ours) + " read)";
  return false;
}

std::optional<ParentProcess> ParentProcess::capture(std::string& why) {
  ParentProcess parent;
  parent.pid_ = ::getppid();
  // Had the parent ended before the pidfd was made, the identifier might name another process now; checks
  // end with stillOurParent(), which then fails, since this process has another parent by then.
  parent.pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, parent.pid_, 0));
  if (parent.pidfd_ < 0) {
    why = "the process that started this host has already ended";
    return std::nullopt;
  }
  char target[PATH_MAX] = {};
  const ssize_t length =
      ::readlink(("/proc/" + std::to_string(parent.pid_) + "/exe").c_str(), target, sizeof target - 1);
  parent.executable_ = length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string("?");
  parent.commandLine_ = commandLineOf(parent.pid_);
  return parent;
}

ParentProcess::ParentProcess(ParentProcess&& other) noexcept
    : pid_(other.pid_),
      pidfd_(std::exchange(other.pidfd_, -1)),
      executable_(std::move(other.executable_)),
      commandLine_(std::move(other.commandLine_)) {}

ParentProcess::~ParentProcess() {
  if (pidfd_ >= 0) ::close(pidfd_);
}

bool ParentProcess::stillOurParent() const {
  // A pidfd becomes readable when its process ends.
  pollfd ended{pidfd_, POLLIN, 0};
  return pidfd_ >= 0 && ::poll(&ended, 1, 0) == 0 && ::getppid() == pid_;
}

std::vector<std::string> loaderVariables(char** environment) {
  std::vector<std::string> names;
  for (char** entry = environment; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view variable(*entry);
    const std::string_view name = variable.substr(0, variable.find('='));
    if (name.starts_with("LD_") || name == "GLIBC_TUNABLES") names.emplace_back(name);
  }
  return names;
}

void restartWithout(const std::vector<std::string>& names, char** argv, char** environment, std::string& why) {
  std::vector<char*> kept;
  for (char** entry = environment; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view variable(*entry);
    const std::string name(variable.substr(0, variable.find('=')));
    if (std::find(names.begin(), names.end(), name) == names.end()) kept.push_back(*entry);
  }
  kept.push_back(nullptr);
  ::execve("/proc/self/exe", argv, kept.data());
  why = std::string("cannot start again: ") + std::strerror(errno);
}

}  // namespace tessaly::nmhost
