#include "tessaly/verification/code_signature_validator.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tessaly/verification/code_signature.h"
#include "tessaly/verification/code_signing_steps.h"
#include "tessaly/verification/packaged_browser.h"

namespace tessaly::verification {
namespace {

using namespace codesign;
using steps::log;

constexpr SecCSFlags kStaticValidityFlags =
    kSecCSCheckAllArchitectures | kSecCSCheckNestedCode | kSecCSStrictValidate;  // 25

// The user database entry of `uid`, through the re-entrant lookup.
template <typename Use>
auto withPasswordEntry(uid_t uid, Use&& use) {
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  while (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  return use(found);
}

std::string userName() {
  std::string name = withPasswordEntry(::getuid(), [](const passwd* entry) {
    return entry != nullptr && entry->pw_name != nullptr ? std::string(entry->pw_name) : std::string();
  });
  if (name.empty()) {
    const char* fromEnvironment = std::getenv("USER");
    if (fromEnvironment != nullptr) name = fromEnvironment;
  }
  return name;
}

}  // namespace

bool CodeSignatureValidator::validateRemoteProcess(std::int32_t pid) noexcept {
  try {
    log("Will validate remote process " + std::to_string(pid));
    SecCodeRef code = steps::codeForProcess(pid);
    if (!code) {
      log("Couldn't find any running application with " + std::to_string(pid) +
          " pid, or failed to get its code signature");
      return false;
    }
    return steps::isSignedBySameTeam(steps::CodeObject(code));
  } catch (...) { return false; }
}

bool CodeSignatureValidator::validateRemoteBrowser(std::int32_t pid) noexcept {
  try {
    log("Will validate remote browser " + std::to_string(pid));
    SecCodeRef code = steps::codeForProcess(pid);
    if (!code) {
      log("Couldn't find any running application with " + std::to_string(pid) +
          " pid, or failed to get its code signature");
      return false;
    }
    const steps::CodeObject object(code);
    if (steps::checkRequirement(object, steps::safariRequirement())) return true;
    if (steps::checkRequirement(object, steps::chromeRequirement())) return true;
    if (steps::checkRequirement(object, steps::otherBrowsersRequirement())) return true;
    // Browsers of a Linux distribution carry no signature of this kind; the package database vouches for them.
    return isInstalledBrowserPackage(pid, systemBrowserDatabase());
  } catch (...) { return false; }
}

CodeSignatureValidationResult CodeSignatureValidator::validateCodeSignature(
    const std::filesystem::path& path) noexcept {
  try {
    SecStaticCodeRef code;
    OSStatus status = SecStaticCodeCreateWithPath(path, kSecCSDefaultFlags, &code);
    if (status == errSecSuccess) {
      log("Successfully grabbed code signature for " + path.native());
    } else {
      log("Failed to grab code signature for " + path.native() + " - status " + std::to_string(status));
    }
    if (!code) {
      log("failed codesign validation: could not get code signature");
      return CodeSignatureValidationResult::noCodeSignature;
    }
    status = SecStaticCodeCheckValidity(code, kStaticValidityFlags, nullptr);
    if (status != errSecSuccess) {
      log("Failed to validate static code - status " + std::to_string(status));
      log("failed codesign validation: invalid static code");
      return CodeSignatureValidationResult::invalidStaticCode;
    }
    log("Passed static code check");
    if (steps::isSignedBySameTeam(steps::CodeObject(code))) {
      log("Successful codesign validation");
      return CodeSignatureValidationResult::valid;
    }
    log("failed codesign validation: mismatch team ID");
    return CodeSignatureValidationResult::teamIdentifierMismatch;
  } catch (...) { return CodeSignatureValidationResult::noCodeSignature; }
}

std::string CodeSignatureValidator::realHomeDirectory() {
  const uid_t uid = ::getuid();
  if (uid != 0) {
    std::optional<std::string> home = withPasswordEntry(uid, [](const passwd* entry) {
      return entry != nullptr && entry->pw_dir != nullptr
                 ? std::optional<std::string>(std::string(entry->pw_dir, std::strlen(entry->pw_dir)))
                 : std::nullopt;
    });
    if (home) return *home;
  }
  return "/Users/" + userName();
}

}  // namespace tessaly::verification

extern "C" TessalyBOOL validateRemoteProcess(pid_t pid) {
  return tessaly::verification::CodeSignatureValidator::validateRemoteProcess(pid) ? 1 : 0;
}

extern "C" TessalyBOOL validateRemoteBrowser(pid_t pid) {
  return tessaly::verification::CodeSignatureValidator::validateRemoteBrowser(pid) ? 1 : 0;
}

extern "C" char* realHomeDirectory(void) {
  try {
    return ::strdup(tessaly::verification::CodeSignatureValidator::realHomeDirectory().c_str());
  } catch (...) { return nullptr; }
}
