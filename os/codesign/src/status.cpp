#include "tessaly/codesign/status.h"

namespace tessaly::codesign {

std::string_view statusDescription(OSStatus status) noexcept {
  switch (status) {
    case errSecSuccess:
      return "no error";
    case errSecParam:
      return "invalid parameter";
    case errSecCSInvalidObjectRef:
      return "invalid code object";
    case errSecCSInvalidFlags:
      return "invalid flags";
    case errSecCSObjectRequired:
      return "a required code object is missing";
    case errSecCSStaticCodeNotFound:
      return "code not found at the path";
    case errSecCSUnsupportedGuestAttributes:
      return "unsupported guest attributes";
    case errSecCSInvalidAttributeValues:
      return "invalid guest attribute values";
    case errSecCSNoSuchCode:
      return "no such process or code";
    case errSecCSGuestInvalid:
      return "the process cannot be inspected";
    case errSecCSUnsigned:
      return "code object is not signed at all";
    case errSecCSSignatureFailed:
      return "invalid signature (code or signature have been modified)";
    case errSecCSSignatureNotVerifiable:
      return "the signing certificate may not sign code";
    case errSecCSBadResource:
      return "a sealed resource is missing, added or invalid";
    case errSecCSReqInvalid:
      return "invalid requirement text";
    case errSecCSReqFailed:
      return "the code does not satisfy the requirement";
    case errSecCSInternalError:
      return "internal error";
    case errSecCSNotAHost:
      return "host code objects are not supported";
    case errSecCSCMSTooLarge:
      return "the signature is too large";
    case errSecCSStaticCodeChanged:
      return "the executable on disk is not the one that runs";
    case errSecCSNoMainExecutable:
      return "the bundle has no main executable";
    case errSecCSBadBundleFormat:
      return "not a valid bundle";
    case errSecCSInvalidSymlink:
      return "a symbolic link leaves the bundle";
    case errSecCSUnsupportedDigestAlgorithm:
      return "unsupported digest algorithm";
    case errSecCSBadTeamIdentifier:
      return "the team identifier does not match the signing certificate";
    case errSecCSSignatureUntrusted:
      return "the signing certificate is not trusted";
    default:
      return "unknown status";
  }
}

}  // namespace tessaly::codesign
