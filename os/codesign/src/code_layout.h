// Where code lives on disk: bundle layout, the Info.plist, the stored signature and the sealed resources.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tessaly/codesign/code_directory.h"
#include "tessaly/codesign/status.h"

namespace tessaly::codesign::detail {

// An owned file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~UniqueFd() { reset(); }
  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  void reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

inline constexpr std::string_view kSignatureDirectory = "Contents/_CodeSignature";
inline constexpr std::string_view kCodeDirectoryFile = "Contents/_CodeSignature/CodeDirectory";
inline constexpr std::string_view kSignatureFile = "Contents/_CodeSignature/CodeSignature";
inline constexpr std::string_view kInfoPlist = "Contents/Info.plist";

struct CodeLocation {
  CodeFormat format = CodeFormat::executable;
  std::filesystem::path root;              // the bundle directory, or the bare executable itself
  std::filesystem::path executablePath;    // the main executable
  std::string executableRelative;          // bundles: "Contents/MacOS/<CFBundleExecutable>"
};

struct BundleInfo {
  std::string identifier;  // CFBundleIdentifier, may be empty
  std::string executable;  // CFBundleExecutable
};

// Reads Contents/Info.plist (XML or binary). Nothing when it is missing, unreadable or lacks a usable
// CFBundleExecutable (a single path component).
std::optional<BundleInfo> readBundleInfo(const std::filesystem::path& bundle);

// Finds what `path` names: a bundle directory, the main executable of a bundle (which stands for the bundle),
// or a bare file. Opens the main executable into `executable`.
OSStatus locateCode(const std::filesystem::path& path, CodeLocation* location, UniqueFd* executable);

// The location of an executable that is already open: the bundle around it when it is that bundle's main
// executable, otherwise the bare file.
CodeLocation locationOfExecutable(const std::filesystem::path& executable);

// A signature as read from disk, before anything about it is checked.
struct StoredSignature {
  enum class State { absent, present, malformed };
  State state = State::absent;
  std::string codeDirectory;
  std::string cms;
  std::uint64_t contentLength = 0;  // bare executables: bytes before the appended signature
};

StoredSignature readBundleSignature(const std::filesystem::path& bundle);
StoredSignature readAppendedSignature(int fd);

// Bare executables carry their signature at the end: content, code directory, CMS, then a 24-byte footer
// (code directory length u32, CMS length u32, content length u64, all little-endian, then "TSLYSIG1").
inline constexpr std::size_t kFooterSize = 24;
std::string makeFooter(std::uint64_t contentLength, std::size_t codeDirectoryLength, std::size_t cmsLength);

// Every file and symbolic link of a bundle except its signature and its main executable, sorted by path.
// Files are hashed only when `hash` is set. Special files fail with errSecCSBadResource, symbolic links that
// leave the bundle with errSecCSInvalidSymlink.
OSStatus listResources(const std::filesystem::path& bundle, const std::string& executableRelative, bool hash,
                       std::vector<SealedResource>* resources);

// SHA-256 of the regular file `bundle/relative`, which must have `size` bytes and must not be a link.
std::optional<Sha256> hashResource(const std::filesystem::path& bundle, const std::string& relative,
                                   std::uint64_t size);

// True for a link target that stays inside the bundle when resolved from the link at `linkPath`.
bool linkStaysInside(const std::string& linkPath, const std::string& target);

// Reads a whole small regular file (without following a final symbolic link).
std::optional<std::string> readSmallFile(const std::filesystem::path& file, std::size_t maxSize);

}  // namespace tessaly::codesign::detail
