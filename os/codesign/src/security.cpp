#include "tessaly/codesign/security.h"

#include <unistd.h>

#include <cstdlib>
#include <limits>

#include "code_objects.h"

#ifndef TESSALY_DEFAULT_TRUST_ANCHORS
#define TESSALY_DEFAULT_TRUST_ANCHORS "/etc/tessaly/trust-anchors"
#endif

namespace tessaly::codesign {
namespace {

// Every entry point reports failures as a status and never lets an exception reach its caller.
template <typename Body>
OSStatus guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) { return errSecCSInternalError; }
}

}  // namespace

std::filesystem::path trustAnchorsDirectory() {
  const char* configured = std::getenv("TESSALY_TRUST_ANCHORS");
  if (configured != nullptr && *configured != '\0') return configured;
  return TESSALY_DEFAULT_TRUST_ANCHORS;
}

OSStatus SecCodeCopySelf(SecCSFlags flags, SecCodeRef* self) noexcept {
  if (self == nullptr) return errSecParam;
  if (flags != kSecCSDefaultFlags) return errSecCSInvalidFlags;
  return guarded([&] { return Code::create(::getpid(), self); });
}

OSStatus SecCodeCopyGuestWithAttributes(const SecCodeRef& host, const GuestAttributes& attributes, SecCSFlags flags,
                                        SecCodeRef* guest) noexcept {
  if (guest == nullptr) return errSecParam;
  if (host) return errSecCSNotAHost;
  if (flags != kSecCSDefaultFlags) return errSecCSInvalidFlags;
  return guarded([&] {
    auto pid = attributes.find(kSecGuestAttributePid);
    if (pid == attributes.end() || attributes.size() != 1) return errSecCSUnsupportedGuestAttributes;
    if (pid->second < std::numeric_limits<pid_t>::min() || pid->second > std::numeric_limits<pid_t>::max()) {
      return errSecCSInvalidAttributeValues;
    }
    return Code::create(static_cast<pid_t>(pid->second), guest);
  });
}

OSStatus SecStaticCodeCreateWithPath(const std::filesystem::path& path, SecCSFlags flags,
                                     SecStaticCodeRef* staticCode) noexcept {
  if (staticCode == nullptr) return errSecParam;
  if (flags != kSecCSDefaultFlags) return errSecCSInvalidFlags;
  return guarded([&] { return StaticCode::create(path, staticCode); });
}

OSStatus SecCodeCopyStaticCode(const SecCodeRef& code, SecCSFlags flags, SecStaticCodeRef* staticCode) noexcept {
  if (staticCode == nullptr) return errSecParam;
  if (!code) return errSecCSObjectRequired;
  if (flags != kSecCSDefaultFlags) return errSecCSInvalidFlags;
  *staticCode = code->staticCode();
  return errSecSuccess;
}

OSStatus SecStaticCodeCheckValidity(const SecStaticCodeRef& staticCode, SecCSFlags flags,
                                    const SecRequirementRef& requirement) noexcept {
  if (!staticCode) return errSecCSObjectRequired;
  return guarded([&] { return staticCode->checkValidity(flags, requirement.get()); });
}

OSStatus SecCodeCheckValidity(const SecCodeRef& code, SecCSFlags flags, const SecRequirementRef& requirement) noexcept {
  if (!code) return errSecCSObjectRequired;
  return guarded([&] { return code->checkValidity(flags, requirement.get()); });
}

OSStatus SecCodeCopySigningInformation(const SecStaticCodeRef& staticCode, SecCSFlags flags,
                                       SigningInformation* information) noexcept {
  if (information == nullptr) return errSecParam;
  if (!staticCode) return errSecCSObjectRequired;
  return guarded([&] { return staticCode->copySigningInformation(flags, information); });
}

OSStatus SecRequirementCreateWithString(std::string_view text, SecCSFlags flags,
                                        SecRequirementRef* requirement) noexcept {
  if (requirement == nullptr) return errSecParam;
  if (flags != kSecCSDefaultFlags) return errSecCSInvalidFlags;
  return guarded([&] {
    SecRequirementRef compiled = Requirement::compile(text);
    if (!compiled) return errSecCSReqInvalid;
    *requirement = std::move(compiled);
    return errSecSuccess;
  });
}

pid_t processIdentifierOf(const SecCodeRef& code) noexcept { return code ? code->pid() : -1; }

}  // namespace tessaly::codesign
