// Signed peers for tests and benchmarks: bundles, a development authority, signing, the helper programs.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaly::testing {

// The development team of the project's own signatures.
inline constexpr std::string_view kTeam = TESSALY_AGENT_TEAM;

// The built program that only waits (programs/sleeper.cpp).
std::filesystem::path sleeperPath();
// A built shared library that nobody signs (programs/unsigned_library.cpp).
std::filesystem::path unsignedLibraryPath();
// The application-services test program (programs/test_app.cpp).
std::filesystem::path testAppPath();

void copyExecutable(const std::filesystem::path& from, const std::filesystem::path& to);

struct BundleLayout {
  std::string name = "Peer";  // NAME.app
  std::optional<std::string> identifier = "com.example.peer";
  std::string executableName;                              // CFBundleExecutable; the name when empty
  std::optional<std::filesystem::path> executable;         // copied into Contents/MacOS/<executable name>
  std::vector<std::pair<std::string, std::string>> files;  // more files: relative path, contents
  bool binaryInfoPlist = false;
};

// Makes parent/NAME.app and returns its path.
std::filesystem::path makeBundle(const std::filesystem::path& parent, const BundleLayout& layout);

// Makes a development authority in `dir` for `team`, with stand-ins for the browser makers; throws on failure.
// This and sign() need the code-signing library, which the user links itself (tessaly_codesign, or a library that
// carries it).
void makeDevPki(const std::filesystem::path& dir, std::string_view team = kTeam);

// Signs `target` with the identity file (and entitlements, a property list); throws on failure.
void sign(const std::filesystem::path& target, const std::filesystem::path& identity,
          const std::optional<std::string>& identifier = std::nullopt,
          const std::optional<std::string>& entitlements = std::nullopt);

}  // namespace tessaly::testing
