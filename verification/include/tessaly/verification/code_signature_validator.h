// Code-signature checks of connecting processes, of code on disk and of browsers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace tessaly::verification {

// Outcome of validateCodeSignature. The values are fixed; 0 is not used.
enum class CodeSignatureValidationResult : int {
  invalidStaticCode = 1,       // code is there, but its signature is missing or does not validate
  teamIdentifierMismatch = 2,  // valid, but not a Developer ID / App Store signature of this program's team
  noCodeSignature = 3,         // no code object could be made for the path
  valid = 4,                   // valid signature of this program's team
};

// The holder of the code-signing operations. Stateless apart from process-wide caches built once on first use
// (this program's own code object and the compiled requirements); every operation may be called from any
// thread, blocks while it checks, logs each step at debug level to the system log and never throws.
class CodeSignatureValidator {
 public:
  CodeSignatureValidator() = delete;

  // True only if the running process `pid` carries a valid Developer ID or App Store signature whose team
  // identifier is this program's own.
  static bool validateRemoteProcess(std::int32_t pid) noexcept;

  // True if the running process `pid` is one of the supported browsers, recognised by its maker's signature or,
  // failing that, as the executable of an installed browser package (isInstalledBrowserPackage).
  static bool validateRemoteBrowser(std::int32_t pid) noexcept;

  // Static validation and same-team check of the bundle or executable at `path`.
  static CodeSignatureValidationResult validateCodeSignature(const std::filesystem::path& path) noexcept;

  // The user's home directory from the user database (not the environment); "/Users/<user name>" for root or
  // when the database has no directory.
  static std::string realHomeDirectory();
};

}  // namespace tessaly::verification
