#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "code_objects.h"
#include "running_process.h"
#include "tessaly/codesign/entitlements.h"

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
  std::optional<detail::FileIdentity> onDisk = detail::identityOnDisk(staticCode_->location());
  return ::fstat(staticCode_->executableFd(), &running) == 0 && running.st_nlink > 0 && onDisk &&
         onDisk->device == running.st_dev && onDisk->inode == running.st_ino;
}

// Executable memory must come from the signed code itself, or from a system library nobody but root can change.
bool Code::mappingsAreSealed(const detail::ProcessFacts& facts, const std::vector<detail::FileIdentity>& sealed) const {
  struct stat executable {};
  if (::fstat(staticCode_->executableFd(), &executable) != 0) return false;
  std::optional<bool> mayMakeCode;  // read from the entitlements when first needed
  for (const detail::ExecutableMapping& mapping : facts.mappings) {
    if (mapping.path == "[vdso]" || mapping.path == "[vsyscall]") continue;  // the kernel's own code
    if (mapping.inode == 0 && mapping.path.empty()) {
      // Anonymous memory: code the program made itself, allowed only to a signature that says it may (JIT).
      if (!mayMakeCode) mayMakeCode = entitlementIsTrue(staticCode_->entitlements(), kAllowJitEntitlement);
      if (*mayMakeCode) continue;
      return false;
    }
    if (mapping.inode == 0 || mapping.path.front() != '/') return false;  // memfd, anything else
    if (mapping.path.ends_with(kDeletedSuffix) || mapping.privatePages) return false;
    if (mapping.device == executable.st_dev && mapping.inode == executable.st_ino) continue;
    bool ours = false;
    for (const detail::FileIdentity& file : sealed) {
      if (file.inode != 0 && file.device == mapping.device && file.inode == mapping.inode) {
        ours = true;
        break;
      }
    }
    if (!ours && !detail::isTrustedSystemFile(mapping.path, mapping.device, mapping.inode)) return false;
  }
  return true;
}

// Is the code that runs the signed code? The process must run untraced and unstopped, without loader
// variables, in our pid namespace (where the kernel's per-message credentials cannot be forged for it), from
// the file at its path, and every executable page must come from a sealed file or a trusted system library.
OSStatus Code::checkValidity(SecCSFlags flags, const Requirement* requirement) const {
  if (!isRunning()) return errSecCSNoSuchCode;
  // The process's /proc files are read on a helper thread, with a deadline, while the code is checked here.
  std::unique_ptr<detail::PendingProcessFacts> pending = detail::startReadingProcessFacts(processDirectory_.get());
  if (!executableStillOnDisk()) return errSecCSStaticCodeChanged;
  std::vector<detail::FileIdentity> sealed;
  OSStatus status = staticCode_->checkValidity(flags, requirement, &sealed);
  if (status != errSecSuccess) return status;
  std::optional<detail::ProcessFacts> facts = pending->finish();
  if (!facts) return isRunning() ? errSecCSGuestInvalid : errSecCSNoSuchCode;
  if (facts->tracer != 0 || facts->state == 't' || facts->state == 'T') return errSecCSGuestInvalid;
  if (facts->loaderEnvironment || !facts->samePidNamespace) return errSecCSGuestInvalid;
  if (!mappingsAreSealed(*facts, sealed)) return errSecCSGuestInvalid;
  return isRunning() ? errSecSuccess : errSecCSNoSuchCode;
}

}  // namespace tessaly::codesign
