// Error values in the platform's style: a domain, a signed code and an optional map of user information.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tessaly::foundation {

// The domain of errors whose code is a Security status (OSStatus).
inline constexpr std::string_view kNSOSStatusErrorDomain = "NSOSStatusErrorDomain";
// The user-information key of an error's human-readable description.
inline constexpr std::string_view kNSLocalizedDescriptionKey = "NSLocalizedDescription";

struct Error {
  std::string domain;
  std::int64_t code = 0;
  std::optional<std::map<std::string, std::string>> userInfo;

  // The localized description from the user information, when there is one.
  std::optional<std::string> localizedDescription() const;

  friend bool operator==(const Error&, const Error&) = default;
};

// "domain code" with the description appended when there is one; for log lines and test output.
std::string describe(const Error& error);

}  // namespace tessaly::foundation
