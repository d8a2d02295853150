#include "code_layout.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <plist/plist.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "openssl_support.h"

namespace tessaly::codesign::detail {
namespace {

namespace fs = std::filesystem;

constexpr char kFooterMagic[8] = {'T', 'S', 'L', 'Y', 'S', 'I', 'G', '1'};
constexpr std::size_t kMaxInfoPlistSize = 1u << 20;
constexpr int kMaxBundleDepth = 128;
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC;
// Inside a bundle: beneath its directory, through no link and across no mount.
constexpr std::uint64_t kStrictResolve =
    RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;

struct PlistFree {
  void operator()(plist_t p) const noexcept { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;
struct DirClose {
  void operator()(DIR* d) const noexcept { ::closedir(d); }
};

int openat2Fd(int dir, const char* path, int flags, std::uint64_t resolve) noexcept {
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags);
  how.resolve = resolve;
  for (;;) {
    const long fd = ::syscall(SYS_openat2, dir, path, &how, sizeof how);
    if (fd >= 0 || errno != EAGAIN) return static_cast<int>(fd);  // EAGAIN: a rename raced the lookup
  }
}

// Keeps `fd` only when it is a regular file.
UniqueFd regularOnly(UniqueFd fd) {
  struct stat info {};
  if (!fd) return fd;
  if (::fstat(fd.get(), &info) != 0) return UniqueFd();
  if (!S_ISREG(info.st_mode)) {
    errno = EINVAL;
    return UniqueFd();
  }
  return fd;
}

std::string plistString(plist_t dictionary, const char* key) {
  plist_t node = plist_dict_get_item(dictionary, key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return {};
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  return text != nullptr ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

bool isSingleComponent(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

std::uint64_t readLittleEndian(const unsigned char* bytes, int count) {
  std::uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

void appendLittleEndian(std::string& out, std::uint64_t value, int count) {
  for (int i = 0; i < count; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

bool preadAll(int fd, std::string& out, std::uint64_t offset, std::size_t size) {
  out.resize(size);
  std::size_t done = 0;
  while (done < size) {
    ssize_t got = ::pread(fd, out.data() + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

std::optional<std::string> readWhole(UniqueFd fd, std::size_t maxSize) {
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0 || static_cast<std::uint64_t>(info.st_size) > maxSize) return std::nullopt;
  std::string bytes;
  if (!preadAll(fd.get(), bytes, 0, static_cast<std::size_t>(info.st_size))) return std::nullopt;
  return bytes;
}

std::optional<std::string> readBeneath(int root, std::string_view relative, std::size_t maxSize) {
  return readWhole(openBeneath(root, relative), maxSize);
}

// A symbolic link of the bundle, followed with every link after it, must end inside the bundle. A link whose
// target does not exist yet only has its text to go by.
OSStatus checkLinkResolution(int root, const std::string& path, const std::string& target) {
  if (!linkStaysInside(path, target)) return errSecCSInvalidSymlink;
  UniqueFd resolved(
      openat2Fd(root, path.c_str(), O_PATH | O_CLOEXEC, RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV));
  if (resolved || errno == ENOENT || errno == ENOTDIR) return errSecSuccess;
  return errSecCSInvalidSymlink;  // EXDEV (left the bundle or crossed a mount), ELOOP, ...
}

struct Walk {
  int root;
  const std::string& executableRelative;
  bool hash;
  std::vector<SealedResource>& resources;
  std::vector<FileIdentity>& identities;
};

OSStatus walkDirectory(Walk& walk, int directory, const std::string& prefix, int depth) {
  if (depth > kMaxBundleDepth) return errSecCSBadResource;
  // A description of its own: a duplicate would share the read position with other listings of the same folder.
  const int listed = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::unique_ptr<DIR, DirClose> entries(listed >= 0 ? ::fdopendir(listed) : nullptr);
  if (!entries) {
    if (listed >= 0) ::close(listed);
    return errSecCSBadResource;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(entries.get());
    if (entry == nullptr) return errno == 0 ? errSecSuccess : errSecCSBadResource;
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string relative = prefix.empty() ? name : prefix + "/" + name;
    struct stat info {};
    if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errSecCSBadResource;
    if (S_ISDIR(info.st_mode)) {
      if (relative == kSignatureDirectory) continue;
      UniqueFd sub(openat2Fd(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, kStrictResolve));
      if (!sub) return errSecCSBadResource;
      if (OSStatus status = walkDirectory(walk, sub.get(), relative, depth + 1); status != errSecSuccess) return status;
      continue;
    }
    if (relative == walk.executableRelative) continue;
    SealedResource resource;
    resource.path = std::move(relative);
    FileIdentity identity;
    if (S_ISLNK(info.st_mode)) {
      std::string target(4096, '\0');
      const ssize_t length = ::readlinkat(directory, name.c_str(), target.data(), target.size());
      if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return errSecCSBadResource;
      target.resize(static_cast<std::size_t>(length));
      if (OSStatus status = checkLinkResolution(walk.root, resource.path, target); status != errSecSuccess) {
        return status;
      }
      resource.isLink = true;
      resource.linkTarget = std::move(target);
    } else if (S_ISREG(info.st_mode)) {
      resource.size = static_cast<std::uint64_t>(info.st_size);
      identity = identityOf(info);
      if (walk.hash) {
        std::optional<Sha256> digest = hashResource(walk.root, resource.path, resource.size, &identity);
        if (!digest) return errSecCSBadResource;
        resource.sha256 = *digest;
      }
    } else {
      return errSecCSBadResource;  // FIFOs, sockets and devices are never code
    }
    walk.resources.push_back(std::move(resource));
    walk.identities.push_back(identity);
  }
}

}  // namespace

FileIdentity identityOf(const struct stat& info) noexcept {
  return FileIdentity{info.st_dev, info.st_ino, static_cast<std::uint64_t>(info.st_size), info.st_ctim.tv_sec,
                      info.st_ctim.tv_nsec};
}

UniqueFd openBundleDirectory(const fs::path& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
}

UniqueFd openBeneath(int root, std::string_view relative) {
  const std::string path(relative);
  return regularOnly(UniqueFd(openat2Fd(root, path.c_str(), kReadFlags, kStrictResolve)));
}

UniqueFd openRegularFile(const fs::path& file) { return regularOnly(UniqueFd(::open(file.c_str(), kReadFlags))); }

std::optional<std::string> readSmallFile(const fs::path& file, std::size_t maxSize) {
  return readWhole(openRegularFile(file), maxSize);
}

std::optional<BundleInfo> readBundleInfo(int root) {
  std::optional<std::string> bytes = readBeneath(root, kInfoPlist, kMaxInfoPlistSize);
  return bytes ? parseBundleInfo(*bytes) : std::nullopt;
}

std::optional<BundleInfo> parseBundleInfo(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kMaxInfoPlistSize) return std::nullopt;
  plist_t raw = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
  PlistPtr plist(raw);
  if (!plist || plist_get_node_type(plist.get()) != PLIST_DICT) return std::nullopt;
  BundleInfo info;
  info.identifier = plistString(plist.get(), "CFBundleIdentifier");
  info.executable = plistString(plist.get(), "CFBundleExecutable");
  if (!isSingleComponent(info.executable)) return std::nullopt;
  return info;
}

CodeLocation locationOfExecutable(const fs::path& executable) {
  CodeLocation location;
  location.root = executable;
  location.executablePath = executable;
  const fs::path macos = executable.parent_path();
  const fs::path contents = macos.parent_path();
  if (macos.filename() != "MacOS" || contents.filename() != "Contents" || contents.parent_path().empty()) {
    return location;
  }
  UniqueFd bundle = openBundleDirectory(contents.parent_path());
  std::optional<BundleInfo> info = bundle ? readBundleInfo(bundle.get()) : std::nullopt;
  if (info && info->executable == executable.filename().native()) {
    location.format = CodeFormat::bundle;
    location.root = contents.parent_path();
    location.executableRelative = "Contents/MacOS/" + executable.filename().native();
    location.rootDirectory = std::move(bundle);
  }
  return location;
}

OSStatus locateCode(const fs::path& path, CodeLocation* location, UniqueFd* executable) {
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return errSecCSStaticCodeNotFound;
  UniqueFd fd;
  if (S_ISDIR(info.st_mode)) {
    UniqueFd bundle = openBundleDirectory(path);
    std::optional<BundleInfo> found = bundle ? readBundleInfo(bundle.get()) : std::nullopt;
    if (!found) return errSecCSBadBundleFormat;
    location->format = CodeFormat::bundle;
    location->root = path;
    location->executableRelative = "Contents/MacOS/" + found->executable;
    location->executablePath = path / location->executableRelative;
    fd = openBeneath(bundle.get(), location->executableRelative);
    location->rootDirectory = std::move(bundle);
    if (!fd) return errSecCSNoMainExecutable;
  } else if (S_ISREG(info.st_mode)) {
    *location = locationOfExecutable(path);
    fd = location->format == CodeFormat::bundle
             ? openBeneath(location->rootDirectory.get(), location->executableRelative)
             : openRegularFile(path);
    if (!fd) return location->format == CodeFormat::bundle ? errSecCSNoMainExecutable : errSecCSStaticCodeNotFound;
  } else {
    return errSecCSStaticCodeNotFound;
  }
  *executable = std::move(fd);
  return errSecSuccess;
}

std::optional<FileIdentity> identityOnDisk(const CodeLocation& location) {
  struct stat info {};
  const bool found = location.format == CodeFormat::bundle
                         ? ::fstatat(location.rootDirectory.get(), location.executableRelative.c_str(), &info,
                                     AT_SYMLINK_NOFOLLOW) == 0
                         : ::fstatat(AT_FDCWD, location.executablePath.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  if (!found || !S_ISREG(info.st_mode)) return std::nullopt;
  return identityOf(info);
}

StoredSignature readBundleSignature(int root) {
  StoredSignature signature;
  struct stat info {};
  if (::fstatat(root, std::string(kSignatureDirectory).c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    signature.state = errno == ENOENT ? StoredSignature::State::absent : StoredSignature::State::malformed;
    return signature;
  }
  signature.state = StoredSignature::State::malformed;
  if (!S_ISDIR(info.st_mode)) return signature;
  std::optional<std::string> directory = readBeneath(root, kCodeDirectoryFile, kMaxCodeDirectorySize);
  std::optional<std::string> cms = readBeneath(root, kSignatureFile, kMaxSignatureSize);
  if (!directory || !cms) return signature;
  signature.codeDirectory = std::move(*directory);
  signature.cms = std::move(*cms);
  signature.state = StoredSignature::State::present;
  return signature;
}

StoredSignature::State readFooter(const unsigned char* footer, std::uint64_t fileSize, Footer* fields) {
  if (fileSize < kFooterSize || std::memcmp(footer + 16, kFooterMagic, sizeof kFooterMagic) != 0) {
    return StoredSignature::State::absent;
  }
  const std::uint64_t directoryLength = readLittleEndian(footer, 4);
  const std::uint64_t cmsLength = readLittleEndian(footer + 4, 4);
  const std::uint64_t contentLength = readLittleEndian(footer + 8, 8);
  if (directoryLength > kMaxCodeDirectorySize || cmsLength > kMaxSignatureSize || contentLength > fileSize ||
      contentLength + directoryLength + cmsLength + kFooterSize != fileSize) {
    return StoredSignature::State::malformed;
  }
  *fields = Footer{contentLength, static_cast<std::size_t>(directoryLength), static_cast<std::size_t>(cmsLength)};
  return StoredSignature::State::present;
}

StoredSignature readAppendedSignature(int fd) {
  StoredSignature signature;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || static_cast<std::uint64_t>(info.st_size) < kFooterSize) return signature;
  const auto size = static_cast<std::uint64_t>(info.st_size);
  std::string footer;
  if (!preadAll(fd, footer, size - kFooterSize, kFooterSize)) return signature;
  Footer fields;
  signature.state = readFooter(reinterpret_cast<const unsigned char*>(footer.data()), size, &fields);
  if (signature.state != StoredSignature::State::present) return signature;
  signature.state = StoredSignature::State::malformed;
  if (!preadAll(fd, signature.codeDirectory, fields.contentLength, fields.codeDirectoryLength) ||
      !preadAll(fd, signature.cms, fields.contentLength + fields.codeDirectoryLength, fields.cmsLength)) {
    return signature;
  }
  signature.contentLength = fields.contentLength;
  signature.state = StoredSignature::State::present;
  return signature;
}

std::string makeFooter(std::uint64_t contentLength, std::size_t codeDirectoryLength, std::size_t cmsLength) {
  std::string footer;
  appendLittleEndian(footer, codeDirectoryLength, 4);
  appendLittleEndian(footer, cmsLength, 4);
  appendLittleEndian(footer, contentLength, 8);
  footer.append(kFooterMagic, sizeof kFooterMagic);
  return footer;
}

bool linkStaysInside(const std::string& linkPath, const std::string& target) {
  if (target.empty() || target.front() == '/') return false;
  // Depth of the directory holding the link, then walk the target's components.
  long depth = static_cast<long>(std::count(linkPath.begin(), linkPath.end(), '/'));
  std::size_t start = 0;
  while (start <= target.size()) {
    std::size_t slash = target.find('/', start);
    if (slash == std::string::npos) slash = target.size();
    std::string_view component(target.data() + start, slash - start);
    if (component == "..") {
      if (--depth < 0) return false;
    } else if (!component.empty() && component != ".") {
      ++depth;
    }
    start = slash + 1;
  }
  return true;
}

std::optional<Sha256> hashResource(int root, const std::string& relative, std::uint64_t size, FileIdentity* identity) {
  UniqueFd fd = openBeneath(root, relative);
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0 || static_cast<std::uint64_t>(info.st_size) != size) return std::nullopt;
  if (identity != nullptr) *identity = identityOf(info);
  return sha256OfFd(fd.get(), size);
}

OSStatus listResources(int root, const std::string& executableRelative, bool hash,
                       std::vector<SealedResource>* resources, std::vector<FileIdentity>* identities) {
  std::vector<FileIdentity> ignored;
  std::vector<FileIdentity>& ids = identities != nullptr ? *identities : ignored;
  resources->clear();
  ids.clear();
  Walk walk{root, executableRelative, hash, *resources, ids};
  if (OSStatus status = walkDirectory(walk, root, "", 0); status != errSecSuccess) return status;
  // Sort both lists by path, together.
  std::vector<std::size_t> order(resources->size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return (*resources)[a].path < (*resources)[b].path; });
  std::vector<SealedResource> sortedResources;
  std::vector<FileIdentity> sortedIds;
  sortedResources.reserve(order.size());
  sortedIds.reserve(order.size());
  for (std::size_t i : order) {
    sortedResources.push_back(std::move((*resources)[i]));
    sortedIds.push_back(ids[i]);
  }
  *resources = std::move(sortedResources);
  ids = std::move(sortedIds);
  return errSecSuccess;
}

}  // namespace tessaly::codesign::detail
