// Signing of bundles and bare executables with a signing identity.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "tessaly/codesign/identity.h"
#include "tessaly/codesign/status.h"

namespace tessaly::codesign {

// Signs the bundle directory or bare executable at `target`, replacing any signature it had. The identifier
// defaults to the bundle's CFBundleIdentifier, or to a bare executable's file name. The team identifier is the
// identity's. A bundle's signature lands in Contents/_CodeSignature/; a bare executable's is appended to it.
// `entitlements`, when given, is a property list (XML or binary) holding a dictionary; it is sealed into the
// signature. A bundle with a symbolic link that leaves it, directly or through other links, is refused.
std::optional<Failure> signCode(const std::filesystem::path& target, const SigningIdentity& identity,
                                const std::optional<std::string>& identifier,
                                const std::optional<std::string>& entitlements = std::nullopt);

}  // namespace tessaly::codesign
