#include "tessaly/verification/code_signing_steps.h"

#include <string>

#include "tessaly/os/log.h"
#include "tessaly/verification/requirement_texts.h"

namespace tessaly::verification::steps {
namespace {

using namespace codesign;

constexpr SecCSFlags kInformationFlags = kSecCSSigningInformation | kSecCSRequirementInformation;  // 6

std::string number(std::int64_t value) { return std::to_string(value); }

const char* truth(bool value) { return value ? "true" : "false"; }

std::optional<std::string> teamOf(const SigningInformation& information) {
  auto found = information.find(kSecCodeInfoTeamIdentifier);
  if (found == information.end()) return std::nullopt;
  const std::string* team = std::get_if<std::string>(&found->second);
  return team ? std::optional<std::string>(*team) : std::nullopt;
}

std::optional<SigningInformation> staticSigningInformation(const SecStaticCodeRef& code) {
  SigningInformation information;
  OSStatus status = SecCodeCopySigningInformation(code, kInformationFlags, &information);
  if (status != errSecSuccess) {
    log("Failed to grab code signature information - status " + number(status));
    return std::nullopt;
  }
  log("Successfully grabbed code signature information. Dictionary has " +
      number(static_cast<std::int64_t>(information.size())) + " pairs");
  return information;
}

}  // namespace

void log(std::string_view message) noexcept { oslog::debug("", "", message); }

SecRequirementRef compileRequirement(std::string_view text) {
  SecRequirementRef requirement;
  OSStatus status = SecRequirementCreateWithString(text, kSecCSDefaultFlags, &requirement);
  if (status == errSecSuccess) {
    log("Successfully created requirement");
    return requirement;
  }
  log("Failed to create requirement - status " + number(status));
  return nullptr;
}

const SecCodeRef& ownCode() {
  static const SecCodeRef code = [] {
    SecCodeRef self;
    OSStatus status = SecCodeCopySelf(kSecCSDefaultFlags, &self);
    if (status == errSecSuccess) {
      log("Successfully grabbed code signature for ourselves");
      return self;
    }
    log("Failed to grab code signature for ourselves - status " + number(status));
    return SecCodeRef();
  }();
  return code;
}

const SecRequirementRef& appleCertificateRequirement() {
  static const SecRequirementRef requirement = compileRequirement(kAppleCertificateRequirement);
  return requirement;
}

const SecRequirementRef& safariRequirement() {
  static const SecRequirementRef requirement = compileRequirement(kSafariRequirement);
  return requirement;
}

const SecRequirementRef& chromeRequirement() {
  static const SecRequirementRef requirement = compileRequirement(kChromeRequirement);
  return requirement;
}

const SecRequirementRef& otherBrowsersRequirement() {
  static const SecRequirementRef requirement = compileRequirement(kOtherBrowsersRequirement);
  return requirement;
}

SecCodeRef codeForProcess(std::int32_t pid) {
  GuestAttributes attributes{{std::string(kSecGuestAttributePid), pid}};
  SecCodeRef code;
  OSStatus status = SecCodeCopyGuestWithAttributes(nullptr, attributes, kSecCSDefaultFlags, &code);
  if (status == errSecSuccess) {
    log("Successfully grabbed code signature for " + number(pid));
    return code;
  }
  log("Failed to grab code signature for " + number(pid) + " - status " + number(status));
  return nullptr;
}

bool checkRequirement(const CodeObject& code, const SecRequirementRef& requirement) {
  if (!requirement) {
    log("Trying to verify a client requirement, but had no requirement. Aborting");
    return false;
  }
  OSStatus status = isStatic(code)
                        ? SecStaticCodeCheckValidity(std::get<SecStaticCodeRef>(code), kSecCSDefaultFlags, requirement)
                        : SecCodeCheckValidity(std::get<SecCodeRef>(code), kSecCSDefaultFlags, requirement);
  if (status == errSecSuccess) {
    log("Verify client requirement succeeded");
    return true;
  }
  log("Verify client requirement failed - status " + number(status));
  return false;
}

std::optional<SigningInformation> signingInformation(const CodeObject& code) {
  if (isStatic(code)) return staticSigningInformation(std::get<SecStaticCodeRef>(code));
  SecStaticCodeRef staticCode;
  OSStatus status = SecCodeCopyStaticCode(std::get<SecCodeRef>(code), kSecCSDefaultFlags, &staticCode);
  if (status != errSecSuccess || !staticCode) {
    log("Failed to create a static code representation of an existing SecCode - status " + number(status));
    return std::nullopt;
  }
  return staticSigningInformation(staticCode);
}

bool isSignedBySameTeam(const CodeObject& code) {
  const bool passed = checkRequirement(code, appleCertificateRequirement());
  log(std::string("Verify by Apple Cert: ") + truth(passed));
  if (passed) {
    std::optional<SigningInformation> peer = signingInformation(code);
    std::optional<std::string> peerTeam = peer ? teamOf(*peer) : std::nullopt;
    if (peerTeam) {
      const SecCodeRef& self = ownCode();
      std::optional<SigningInformation> own = self ? signingInformation(CodeObject(self)) : std::nullopt;
      std::optional<std::string> ownTeam = own ? teamOf(*own) : std::nullopt;
      if (!ownTeam) {
        log("Failed to grab code signature information about ourselves.");
        return false;
      }
      const bool same = *peerTeam == *ownTeam;
      log(std::string("Code signature team id of client == ourselves: ") + truth(same));
      return same;
    }
  }
  log("Failed to grab code signature information about the client.");
  return false;
}

}  // namespace tessaly::verification::steps
