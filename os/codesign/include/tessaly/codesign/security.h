// Code-signing services with the platform's calling shape: code objects, validity checks, signing information.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tessaly/codesign/requirement.h"
#include "tessaly/codesign/status.h"

namespace tessaly::codesign {

using SecCSFlags = std::uint32_t;
inline constexpr SecCSFlags kSecCSDefaultFlags = 0;

// Validity flags. Validation here is always strict and complete; these are accepted for compatibility.
inline constexpr SecCSFlags kSecCSCheckAllArchitectures = 1u << 0;
inline constexpr SecCSFlags kSecCSCheckNestedCode = 1u << 3;
inline constexpr SecCSFlags kSecCSStrictValidate = 1u << 4;

// Signing-information flags.
inline constexpr SecCSFlags kSecCSSigningInformation = 1u << 1;
inline constexpr SecCSFlags kSecCSRequirementInformation = 1u << 2;

class Code;        // a running process
class StaticCode;  // code on disk: a bundle or a bare executable

// Reference-counted code objects; dropping the last reference releases them.
using SecCodeRef = std::shared_ptr<const Code>;
using SecStaticCodeRef = std::shared_ptr<const StaticCode>;
using SecRequirementRef = std::shared_ptr<const Requirement>;

// Guest attributes: the only one understood is the process identifier.
inline constexpr std::string_view kSecGuestAttributePid = "pid";
using GuestAttributes = std::map<std::string, std::int64_t, std::less<>>;

// Signing information: string keys to values of a few kinds.
using Bytes = std::vector<std::uint8_t>;
using InfoValue = std::variant<std::string, std::int64_t, Bytes, std::vector<Bytes>>;
using SigningInformation = std::map<std::string, InfoValue, std::less<>>;

inline constexpr std::string_view kSecCodeInfoIdentifier = "identifier";           // string
inline constexpr std::string_view kSecCodeInfoTeamIdentifier = "teamid";           // string
inline constexpr std::string_view kSecCodeInfoFormat = "format";                   // string
inline constexpr std::string_view kSecCodeInfoMainExecutable = "main-executable";  // string, a path
inline constexpr std::string_view kSecCodeInfoSource = "source";                   // string
inline constexpr std::string_view kSecCodeInfoUnique = "unique";  // bytes: SHA-256 of the code directory
inline constexpr std::string_view kSecCodeInfoDigestAlgorithm = "digest-algorithm";  // integer, 2 = SHA-256
inline constexpr std::string_view kSecCodeInfoCertificates = "certificates";         // DER certificates, leaf first
inline constexpr std::string_view kSecCodeInfoDesignatedRequirement = "designated-requirement";  // string
inline constexpr std::string_view kSecCodeInfoEntitlements = "entitlements";  // string: XML property list

// The running program itself.
OSStatus SecCodeCopySelf(SecCSFlags flags, SecCodeRef* self) noexcept;

// A running process, looked up by `kSecGuestAttributePid` through the kernel's view of its executable (the file
// it was started from, even if that path has since been replaced). Hosts are not supported: `host` must be empty.
OSStatus SecCodeCopyGuestWithAttributes(const SecCodeRef& host, const GuestAttributes& attributes, SecCSFlags flags,
                                        SecCodeRef* guest) noexcept;

// Code on disk: a bundle directory, the main executable inside a bundle (which stands for the bundle) or any
// other regular file. Succeeds for unsigned code; fails when there is no code at the path.
OSStatus SecStaticCodeCreateWithPath(const std::filesystem::path& path, SecCSFlags flags,
                                     SecStaticCodeRef* staticCode) noexcept;

// The code on disk of a running process, with the signature read when the process was looked up.
OSStatus SecCodeCopyStaticCode(const SecCodeRef& code, SecCSFlags flags, SecStaticCodeRef* staticCode) noexcept;

// Checks the signature, every sealed hash and, when given, the requirement.
OSStatus SecStaticCodeCheckValidity(const SecStaticCodeRef& staticCode, SecCSFlags flags,
                                    const SecRequirementRef& requirement) noexcept;

// As SecStaticCodeCheckValidity for a running process; also fails when the process has gone or its executable
// on disk is no longer the file it runs.
OSStatus SecCodeCheckValidity(const SecCodeRef& code, SecCSFlags flags, const SecRequirementRef& requirement) noexcept;

// Reads what the signature states, without validating it. Unsigned code yields a dictionary without identifier.
OSStatus SecCodeCopySigningInformation(const SecStaticCodeRef& staticCode, SecCSFlags flags,
                                       SigningInformation* information) noexcept;

OSStatus SecRequirementCreateWithString(std::string_view text, SecCSFlags flags,
                                        SecRequirementRef* requirement) noexcept;

// The process identifier of a running-process code object, or -1.
pid_t processIdentifierOf(const SecCodeRef& code) noexcept;

// Directory of PEM root certificates that stand for the platform vendor's roots: TESSALY_TRUST_ANCHORS when
// set and non-empty, otherwise the system directory chosen at build time.
std::filesystem::path trustAnchorsDirectory();

}  // namespace tessaly::codesign
