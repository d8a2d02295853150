// Entitlements: the property list of rights that a signature seals with the code.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaly::codesign {

// Reads entitlements given as a property list (XML or binary) holding a dictionary and returns them as the XML
// text that a signature seals. Nothing, with a reason in `error`, for anything else.
std::optional<std::string> normalizeEntitlements(std::string_view plist, std::string* error = nullptr);

// True when the entitlements (XML) hold `key` with the value true.
bool entitlementIsTrue(std::string_view xml, const char* key);

// Entitlement that lets a program run code it made itself (anonymous executable memory, as a JIT compiler does).
inline constexpr const char* kAllowJitEntitlement = "com.apple.security.cs.allow-jit";

// Each entitlement as (key, value for people): true, "text", 3, ["a", "b"], {key = value}. Empty when `xml` holds
// no dictionary.
std::vector<std::pair<std::string, std::string>> describeEntitlements(std::string_view xml);

}  // namespace tessaly::codesign
