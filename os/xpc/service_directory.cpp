#include "tessaly/xpc/service_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "unique_fd.h"

namespace tessaly::xpc {
namespace {

std::string environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string{} : std::string(value);
}

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Opens `path` as a directory without following a final symbolic link.
detail::UniqueFd openDirectory(const std::string& path) {
  return detail::UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

Error makeParents(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return Error::directory_unusable;
  }
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return Error::directory_unusable;
  return Error::none;
}

}  // namespace

std::string resolveServiceDirectory(const DirectoryEnvironment& environment) {
  if (!environment.overrideDirectory.empty()) return withoutTrailingSlashes(environment.overrideDirectory);
  std::string runtime = withoutTrailingSlashes(environment.runtimeDirectory);
  if (!runtime.empty() && runtime.front() != '/') runtime.clear();  // relative values are to be ignored
  if (!runtime.empty() && !environment.snapInstanceName.empty()) {
    // Inside a Snap, XDG_RUNTIME_DIR is the Snap's own /run/user/<uid>/snap.<name>; the service lives in
    // the user's runtime directory above it.
    const std::string snapComponent = "/snap." + environment.snapInstanceName;
    if (runtime.size() > snapComponent.size() &&
        runtime.compare(runtime.size() - snapComponent.size(), snapComponent.size(), snapComponent) == 0) {
      runtime.resize(runtime.size() - snapComponent.size());
    }
  }
  const std::string uid = std::to_string(environment.uid);
  if (runtime.empty() && environment.runUserDirectoryExists) runtime = "/run/user/" + uid;
  if (!runtime.empty()) return runtime + "/app/" + std::string(kServiceDirectoryName);
  return "/tmp/tessaly-xpc-" + uid;
}

DirectoryEnvironment currentDirectoryEnvironment() {
  DirectoryEnvironment environment;
  environment.overrideDirectory = environmentValue("TESSALY_XPC_DIR");
  environment.runtimeDirectory = environmentValue("XDG_RUNTIME_DIR");
  environment.snapInstanceName = environmentValue("SNAP_INSTANCE_NAME");
  if (environment.snapInstanceName.empty()) environment.snapInstanceName = environmentValue("SNAP_NAME");
  environment.uid = ::geteuid();
  struct stat info {};
  const std::string runUser = "/run/user/" + std::to_string(environment.uid);
  environment.runUserDirectoryExists = ::stat(runUser.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  return environment;
}

std::string serviceDirectory() { return resolveServiceDirectory(currentDirectoryEnvironment()); }

Error preparePrivateDirectory(const std::string& path, std::string* problem) {
  const auto refuse = [problem](std::string why) {
    if (problem != nullptr) *problem = std::move(why);
    return Error::directory_unusable;
  };
  if (path.empty()) return refuse("no folder");
  if (Error made = makeParents(withoutTrailingSlashes(path)); made != Error::none) {
    return refuse(std::string("cannot be made: ") + std::strerror(errno));
  }
  const detail::UniqueFd directory = openDirectory(path);
  struct stat info {};
  if (!directory.valid() || ::fstat(directory.get(), &info) != 0) {
    return refuse(errno == ELOOP || errno == ENOTDIR ? "is a symbolic link or not a folder"
                                                     : std::string("cannot be opened: ") + std::strerror(errno));
  }
  // Whoever else owns the folder, or may write in it, could have put an impostor in the service's place
  // already: such a folder is refused, not fixed up. Leave to list or enter it is merely taken away.
  if (info.st_uid != ::geteuid()) return refuse("belongs to user " + std::to_string(info.st_uid));
  if ((info.st_mode & 022) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return refuse(std::string("is open to others (mode ") + mode + ")");
  }
  if ((info.st_mode & 077) != 0 && ::fchmod(directory.get(), 0700) != 0) {
    return refuse(std::string("cannot be made private: ") + std::strerror(errno));
  }
  return Error::none;
}

Error checkPrivateDirectory(const std::string& path) {
  const detail::UniqueFd directory = openDirectory(path);
  if (!directory.valid()) return errno == ENOENT ? Error::service_unavailable : Error::directory_unusable;
  struct stat info {};
  if (::fstat(directory.get(), &info) != 0) return Error::directory_unusable;
  // Someone else who could write here could put an impostor in the service's place.
  if (info.st_uid != ::geteuid() || (info.st_mode & 022) != 0) return Error::directory_unusable;
  return Error::none;
}

bool isValidServiceName(std::string_view name) noexcept {
  if (name.empty() || name.size() > kMaxServiceNameLength || name.front() == '.') return false;
  for (char c : name) {
    const bool allowed =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    if (!allowed) return false;
  }
  return true;
}

}  // namespace tessaly::xpc
