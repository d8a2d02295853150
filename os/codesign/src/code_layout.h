// Where code lives on disk: bundle layout, the Info.plist, the stored signature and the sealed resources.
//
// Everything inside a bundle is reached relative to a descriptor of the bundle directory, never by following a
// symbolic link or crossing a mount, and only regular files are read (opened without blocking, so a FIFO or a
// device in a bundle is refused at once instead of holding the reader).
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
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

// What identifies a file's bytes without reading them: the same inode with the same size and change time holds
// the same bytes, since every write and every metadata change moves the change time (which nobody can set).
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t changeSeconds = 0;
  long changeNanoseconds = 0;

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};
FileIdentity identityOf(const struct stat& info) noexcept;

inline constexpr std::string_view kSignatureDirectory = "Contents/_CodeSignature";
inline constexpr std::string_view kCodeDirectoryFile = "Contents/_CodeSignature/CodeDirectory";
inline constexpr std::string_view kSignatureFile = "Contents/_CodeSignature/CodeSignature";
inline constexpr std::string_view kInfoPlist = "Contents/Info.plist";

struct CodeLocation {
  CodeFormat format = CodeFormat::executable;
  std::filesystem::path root;            // the bundle directory, or the bare executable itself
  std::filesystem::path executablePath;  // the main executable
  std::string executableRelative;        // bundles: "Contents/MacOS/<CFBundleExecutable>"
  UniqueFd rootDirectory;                // bundles: the bundle directory, opened once
};

struct BundleInfo {
  std::string identifier;  // CFBundleIdentifier, may be empty
  std::string executable;  // CFBundleExecutable
};

// Opens a bundle directory (following links in `path` itself, which the caller chose).
UniqueFd openBundleDirectory(const std::filesystem::path& path);

// Opens the regular file `relative` beneath `root`: no symbolic link anywhere on the way, no mount crossed,
// without blocking. Fails (errno set) for anything that is not a regular file.
UniqueFd openBeneath(int root, std::string_view relative);

// Opens a regular file by path without following a final link and without blocking.
UniqueFd openRegularFile(const std::filesystem::path& file);

// Reads Contents/Info.plist (XML or binary). Nothing when it is missing, not a regular file, unreadable or lacks
// a usable CFBundleExecutable (a single path component).
std::optional<BundleInfo> readBundleInfo(int root);
// The same for the bytes of an Info.plist (at most 1 MiB).
std::optional<BundleInfo> parseBundleInfo(std::string_view bytes);

// Finds what `path` names: a bundle directory, the main executable of a bundle (which stands for the bundle),
// or a bare file. Opens the main executable into `executable`.
OSStatus locateCode(const std::filesystem::path& path, CodeLocation* location, UniqueFd* executable);

// The location of an executable that is already open: the bundle around it when it is that bundle's main
// executable, otherwise the bare file.
CodeLocation locationOfExecutable(const std::filesystem::path& executable);

// The file at the main executable's place in the bundle (or at the bare executable's path), not following links.
std::optional<FileIdentity> identityOnDisk(const CodeLocation& location);

// A signature as read from disk, before anything about it is checked.
struct StoredSignature {
  enum class State { absent, present, malformed };
  State state = State::absent;
  std::string codeDirectory;
  std::string cms;
  std::uint64_t contentLength = 0;  // bare executables: bytes before the appended signature
};

StoredSignature readBundleSignature(int root);
StoredSignature readAppendedSignature(int fd);

// Bare executables carry their signature at the end: content, code directory, CMS, then a 24-byte footer
// (code directory length u32, CMS length u32, content length u64, all little-endian, then "TSLYSIG1").
inline constexpr std::size_t kFooterSize = 24;

// What a footer states: the three parts before it, in order.
struct Footer {
  std::uint64_t contentLength = 0;
  std::size_t codeDirectoryLength = 0;
  std::size_t cmsLength = 0;
};
// Reads the kFooterSize bytes at `footer`, the end of a file of `fileSize` bytes: absent when they are no
// signature footer, malformed when the lengths they state pass the limits or do not fill the file exactly.
StoredSignature::State readFooter(const unsigned char* footer, std::uint64_t fileSize, Footer* fields);
std::string makeFooter(std::uint64_t contentLength, std::size_t codeDirectoryLength, std::size_t cmsLength);

// Every file and symbolic link of a bundle except its signature and its main executable, sorted by path, with
// the identity of each file (links get an empty identity). Files are hashed only when `hash` is set. Special
// files fail with errSecCSBadResource; a symbolic link that leaves the bundle, by its text or when followed
// through other links, with errSecCSInvalidSymlink.
OSStatus listResources(int root, const std::string& executableRelative, bool hash,
                       std::vector<SealedResource>* resources, std::vector<FileIdentity>* identities = nullptr);

// SHA-256 of the regular file `relative` beneath `root`, which must have `size` bytes. Fills `identity` with what
// the file was when it was read.
std::optional<Sha256> hashResource(int root, const std::string& relative, std::uint64_t size,
                                   FileIdentity* identity = nullptr);

// True for a link target whose text stays inside the bundle when resolved from the link at `linkPath`.
bool linkStaysInside(const std::string& linkPath, const std::string& target);

// Reads a whole small regular file (without following a final symbolic link, without blocking).
std::optional<std::string> readSmallFile(const std::filesystem::path& file, std::size_t maxSize);

}  // namespace tessaly::codesign::detail
