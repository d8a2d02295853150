#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "code_objects.h"

namespace tessaly::codesign {
namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

std::optional<std::string> readExecutableLink(int processDirectory, int* error) {
  std::string target(4096, '\0');
  ssize_t length = ::readlinkat(processDirectory, "exe", target.data(), target.size());
  if (length < 0 || static_cast<std::size_t>(length) >= target.size()) {
    *error = length < 0 ? errno : ENAMETOOLONG;
    return std::nullopt;
  }
  target.resize(static_cast<std::size_t>(length));
  return target;
}

OSStatus statusForErrno(int error) {
  return error == ENOENT || error == ESRCH ? errSecCSNoSuchCode : errSecCSGuestInvalid;
}

}  // namespace

OSStatus Code::create(pid_t pid, SecCodeRef* code) {
  if (pid <= 0) return errSecCSNoSuchCode;
  const std::string procPath = "/proc/" + std::to_string(pid);
  // The directory descriptor stays bound to this very process: once it exits, lookups through it fail even
  // if the identifier is given to a new process.
  detail::UniqueFd directory(::open(procPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory) return statusForErrno(errno);
  int error = 0;
  std::optional<std::string> link = readExecutableLink(directory.get(), &error);
  if (!link) return statusForErrno(error);
  detail::UniqueFd executable(::openat(directory.get(), "exe", O_RDONLY | O_CLOEXEC));
  if (!executable) return statusForErrno(errno);
  struct stat info {};
  if (::fstat(executable.get(), &info) != 0 || !S_ISREG(info.st_mode)) return errSecCSGuestInvalid;
  std::string path = *link;
  if (info.st_nlink == 0 && path.size() > kDeletedSuffix.size() &&
      path.compare(path.size() - kDeletedSuffix.size(), kDeletedSuffix.size(), kDeletedSuffix) == 0) {
    path.resize(path.size() - kDeletedSuffix.size());
  }
  SecStaticCodeRef staticCode = StaticCode::forExecutable(path, std::move(executable));
  *code = std::make_shared<const Code>(pid, std::move(directory), std::move(staticCode));
  return errSecSuccess;
}

bool Code::isRunning() const {
  int error = 0;
  return readExecutableLink(processDirectory_.get(), &error).has_value();
}

bool Code::executableStillOnDisk() const {
  struct stat running {};
  struct stat onDisk {};
  return ::fstat(staticCode_->executableFd(), &running) == 0 && running.st_nlink > 0 &&
         ::stat(staticCode_->location().executablePath.c_str(), &onDisk) == 0 && running.st_dev == onDisk.st_dev &&
         running.st_ino == onDisk.st_ino;
}

OSStatus Code::checkValidity(SecCSFlags flags, const Requirement* requirement) const {
  if (!isRunning()) return errSecCSNoSuchCode;
  if (!executableStillOnDisk()) return errSecCSStaticCodeChanged;
  OSStatus status = staticCode_->checkValidity(flags, requirement);
  if (status != errSecSuccess) return status;
  return isRunning() ? errSecSuccess : errSecCSNoSuchCode;
}

}  // namespace tessaly::codesign
