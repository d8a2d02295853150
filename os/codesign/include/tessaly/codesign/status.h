// Status codes of the code-signing services (OSStatus-compatible values) and their descriptions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessaly::codesign {

// A signed 32-bit result: 0 is success, negative values name the failure.
using OSStatus = std::int32_t;

// The values follow the platform's code-signing error numbers so that logs read the same everywhere.
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecCSInvalidObjectRef = -67071;
inline constexpr OSStatus errSecCSInvalidFlags = -67070;
inline constexpr OSStatus errSecCSObjectRequired = -67069;
inline constexpr OSStatus errSecCSStaticCodeNotFound = -67068;
inline constexpr OSStatus errSecCSUnsupportedGuestAttributes = -67067;
inline constexpr OSStatus errSecCSInvalidAttributeValues = -67066;
inline constexpr OSStatus errSecCSNoSuchCode = -67065;
inline constexpr OSStatus errSecCSGuestInvalid = -67063;
inline constexpr OSStatus errSecCSUnsigned = -67062;
inline constexpr OSStatus errSecCSSignatureFailed = -67061;
inline constexpr OSStatus errSecCSSignatureNotVerifiable = -67060;
inline constexpr OSStatus errSecCSBadResource = -67054;
inline constexpr OSStatus errSecCSReqInvalid = -67052;
inline constexpr OSStatus errSecCSReqFailed = -67050;
inline constexpr OSStatus errSecCSInternalError = -67048;
inline constexpr OSStatus errSecCSNotAHost = -67046;
inline constexpr OSStatus errSecCSCMSTooLarge = -67036;
inline constexpr OSStatus errSecCSStaticCodeChanged = -67034;
inline constexpr OSStatus errSecCSNoMainExecutable = -67029;
inline constexpr OSStatus errSecCSBadBundleFormat = -67028;
inline constexpr OSStatus errSecCSInvalidSymlink = -67003;
inline constexpr OSStatus errSecCSUnsupportedDigestAlgorithm = -67000;
inline constexpr OSStatus errSecCSBadTeamIdentifier = -66997;
inline constexpr OSStatus errSecCSSignatureUntrusted = -66996;

// A short English description of a status ("invalid signature (code or signature have been modified)").
std::string_view statusDescription(OSStatus status) noexcept;

// A failure with its status and a sentence for people (used by signing and the authority tools).
struct Failure {
  OSStatus status = errSecCSInternalError;
  std::string message;
};

}  // namespace tessaly::codesign
