// The code objects behind SecStaticCodeRef and SecCodeRef.
#pragma once

#include <sys/types.h>

#include <memory>

#include "code_layout.h"
#include "running_process.h"
#include "tessaly/codesign/security.h"

namespace tessaly::codesign {

// Code on disk. The main executable stays open and the signature is read once, when the object is made, so
// every later check and every piece of signing information refers to the same signature and executable file.
class StaticCode {
 public:
  StaticCode(detail::CodeLocation location, detail::UniqueFd executable, detail::StoredSignature signature)
      : location_(std::move(location)), executable_(std::move(executable)), signature_(std::move(signature)) {}

  static OSStatus create(const std::filesystem::path& path, SecStaticCodeRef* code);
  static SecStaticCodeRef forExecutable(const std::filesystem::path& executablePath, detail::UniqueFd executable);

  // Checks the signature and its chain, the requirement when given, then the sealed bytes. `sealed` receives the
  // identities of the bundle's sealed files (in the code directory's order; empty for links).
  OSStatus checkValidity(SecCSFlags flags, const Requirement* requirement,
                         std::vector<detail::FileIdentity>* sealed = nullptr) const;
  OSStatus copySigningInformation(SecCSFlags flags, SigningInformation* information) const;

  // The sealed entitlements (XML), empty when there are none or the signature does not read.
  std::string entitlements() const;

  const detail::CodeLocation& location() const noexcept { return location_; }
  int executableFd() const noexcept { return executable_.get(); }

 private:
  static detail::StoredSignature readSignature(const detail::CodeLocation& location, int executable);
  OSStatus checkSealedBytes(const CodeDirectory& directory, std::vector<detail::FileIdentity>* sealed) const;

  detail::CodeLocation location_;
  detail::UniqueFd executable_;
  detail::StoredSignature signature_;
};

// A running process, pinned through its /proc directory so that a recycled process identifier is never
// mistaken for it, with the executable the kernel started it from.
class Code {
 public:
  Code(pid_t pid, detail::UniqueFd processDirectory, SecStaticCodeRef staticCode)
      : pid_(pid), processDirectory_(std::move(processDirectory)), staticCode_(std::move(staticCode)) {}

  static OSStatus create(pid_t pid, SecCodeRef* code);

  OSStatus checkValidity(SecCSFlags flags, const Requirement* requirement) const;

  pid_t pid() const noexcept { return pid_; }
  const SecStaticCodeRef& staticCode() const noexcept { return staticCode_; }

 private:
  bool isRunning() const;
  bool executableStillOnDisk() const;
  bool mappingsAreSealed(const detail::ProcessFacts& facts, const std::vector<detail::FileIdentity>& sealed) const;

  pid_t pid_;
  detail::UniqueFd processDirectory_;
  SecStaticCodeRef staticCode_;
};

}  // namespace tessaly::codesign
