// The code directory: the signed statement naming a piece of code and sealing the hash of each of its files.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly::codesign {

using Sha256 = std::array<std::uint8_t, 32>;

enum class CodeFormat { bundle, executable };

// One sealed entry of a bundle other than its main executable: a regular file with its size and hash, or a
// symbolic link with its target text. Paths are relative to the bundle directory, with '/' separators.
struct SealedResource {
  std::string path;
  bool isLink = false;
  std::uint64_t size = 0;  // files only
  Sha256 sha256{};         // files only
  std::string linkTarget;  // links only
};

// The code directory, in memory. Its serialised form is text, one record per line:
//
//   tessaly-code-directory 1
//   identifier <text>
//   team <text>                          (only when the signer has a team)
//   format bundle | executable
//   executable <sha256> <size> [<path>]  (the path only for bundles)
//   entitlements <XML property list>     (only when the code has entitlements)
//   file <sha256> <size> <path>          (bundles: every other file, sorted by path)
//   link <target> <path>                 (bundles: every symbolic link, sorted with the files)
//   end
//
// Text fields are percent-encoded (every byte below 0x21, 0x7F and '%' as %XX with upper-case hex digits), so
// fields never hold spaces or line breaks. Hashes are lower-case hex. The form is canonical: a text is accepted
// only if serialising what was read gives the same bytes back.
struct CodeDirectory {
  std::string identifier;
  std::string teamIdentifier;  // empty: no team
  CodeFormat format = CodeFormat::executable;
  std::string executablePath;  // bundles: relative path of the main executable; bare executables: empty
  std::uint64_t executableSize = 0;
  Sha256 executableHash{};
  std::string entitlements;               // an XML property list holding a dictionary; empty: none
  std::vector<SealedResource> resources;  // bundles only, sorted by path, no duplicates

  friend bool operator==(const CodeDirectory&, const CodeDirectory&) = default;
};

inline bool operator==(const SealedResource& a, const SealedResource& b) {
  return a.path == b.path && a.isLink == b.isLink && a.size == b.size && a.sha256 == b.sha256 &&
         a.linkTarget == b.linkTarget;
}

// Largest code directory that is read back (a bundle of a few hundred thousand files fits).
inline constexpr std::size_t kMaxCodeDirectorySize = 64u << 20;

std::string serializeCodeDirectory(const CodeDirectory& directory);

// Reads a serialised code directory; nothing when the text is not exactly a canonical code directory or breaks a
// rule (unsafe resource path, unsorted or repeated entries, resources in a bare executable's directory).
std::optional<CodeDirectory> parseCodeDirectory(std::string_view text);

// True for a relative path of non-empty components other than "." and "..", without NUL bytes.
bool isSafeRelativePath(std::string_view path) noexcept;

std::string toHex(const std::uint8_t* bytes, std::size_t size);
inline std::string toHex(const Sha256& digest) { return toHex(digest.data(), digest.size()); }

}  // namespace tessaly::codesign
