// The steps that the code-signature checks are built from, shared by the peer and browser checks.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "tessaly/codesign/security.h"

namespace tessaly::verification::steps {

using codesign::SecCodeRef;
using codesign::SecRequirementRef;
using codesign::SecStaticCodeRef;
using codesign::SigningInformation;

// A code object of a running process or of code on disk; which one it holds is what the checks call "static".
using CodeObject = std::variant<SecCodeRef, SecStaticCodeRef>;

inline bool isStatic(const CodeObject& code) { return std::holds_alternative<SecStaticCodeRef>(code); }

// Guest lookup by process identifier; nothing when the process is gone or cannot be looked at.
SecCodeRef codeForProcess(std::int32_t pid);

// Validity of `code` against `requirement`; false when there is no requirement.
bool checkRequirement(const CodeObject& code, const SecRequirementRef& requirement);

// Signing information of `code` (for a running process, of its code on disk).
std::optional<SigningInformation> signingInformation(const CodeObject& code);

// Valid Developer ID / App Store signature with the same team identifier as this program.
bool isSignedBySameTeam(const CodeObject& code);

// Compiles a requirement text; nothing when it does not compile.
SecRequirementRef compileRequirement(std::string_view text);

// Process-wide caches, each built once on first use and kept, absence included.
const SecCodeRef& ownCode();
const SecRequirementRef& appleCertificateRequirement();
const SecRequirementRef& safariRequirement();
const SecRequirementRef& chromeRequirement();
const SecRequirementRef& otherBrowsersRequirement();

// Writes one line to the system log at debug level.
void log(std::string_view message) noexcept;

}  // namespace tessaly::verification::steps
