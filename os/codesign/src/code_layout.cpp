#include "code_layout.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "openssl_support.h"

namespace tessaly::codesign::detail {
namespace {

namespace fs = std::filesystem;

constexpr char kFooterMagic[8] = {'T', 'S', 'L', 'Y', 'S', 'I', 'G', '1'};
constexpr std::size_t kMaxInfoPlistSize = 1u << 20;

struct PlistFree { void operator()(plist_t p) const noexcept { plist_free(p); } };
using PlistPtr = std::unique_ptr<void, PlistFree>;

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

bool isMainExecutableOf(const fs::path& bundle, const fs::path& executable) {
  std::optional<BundleInfo> info = readBundleInfo(bundle);
  return info && info->executable == executable.filename().native();
}

}  // namespace

std::optional<std::string> readSmallFile(const fs::path& file, std::size_t maxSize) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<std::uint64_t>(info.st_size) > maxSize) {
    return std::nullopt;
  }
  std::string bytes;
  if (!preadAll(fd.get(), bytes, 0, static_cast<std::size_t>(info.st_size))) return std::nullopt;
  return bytes;
}

std::optional<BundleInfo> readBundleInfo(const fs::path& bundle) {
  std::optional<std::string> bytes = readSmallFile(bundle / std::string(kInfoPlist), kMaxInfoPlistSize);
  if (!bytes || bytes->empty()) return std::nullopt;
  plist_t raw = nullptr;
  plist_from_memory(bytes->data(), static_cast<uint32_t>(bytes->size()), &raw);
  PlistPtr root(raw);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;
  BundleInfo info;
  info.identifier = plistString(root.get(), "CFBundleIdentifier");
  info.executable = plistString(root.get(), "CFBundleExecutable");
  if (!isSingleComponent(info.executable)) return std::nullopt;
  return info;
}

CodeLocation locationOfExecutable(const fs::path& executable) {
  CodeLocation location;
  location.root = executable;
  location.executablePath = executable;
  const fs::path macos = executable.parent_path();
  const fs::path contents = macos.parent_path();
  if (macos.filename() == "MacOS" && contents.filename() == "Contents" && !contents.parent_path().empty() &&
      isMainExecutableOf(contents.parent_path(), executable)) {
    location.format = CodeFormat::bundle;
    location.root = contents.parent_path();
    location.executableRelative = "Contents/MacOS/" + executable.filename().native();
  }
  return location;
}

OSStatus locateCode(const fs::path& path, CodeLocation* location, UniqueFd* executable) {
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return errSecCSStaticCodeNotFound;
  if (S_ISDIR(info.st_mode)) {
    std::optional<BundleInfo> bundle = readBundleInfo(path);
    if (!bundle) return errSecCSBadBundleFormat;
    location->format = CodeFormat::bundle;
    location->root = path;
    location->executableRelative = "Contents/MacOS/" + bundle->executable;
    location->executablePath = path / location->executableRelative;
  } else if (S_ISREG(info.st_mode)) {
    *location = locationOfExecutable(path);
  } else {
    return errSecCSStaticCodeNotFound;
  }
  UniqueFd fd(::open(location->executablePath.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat opened {};
  if (!fd || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
    return location->format == CodeFormat::bundle ? errSecCSNoMainExecutable : errSecCSStaticCodeNotFound;
  }
  *executable = std::move(fd);
  return errSecSuccess;
}

StoredSignature readBundleSignature(const fs::path& bundle) {
  StoredSignature signature;
  struct stat info {};
  if (::lstat((bundle / std::string(kSignatureDirectory)).c_str(), &info) != 0) {
    signature.state = errno == ENOENT ? StoredSignature::State::absent : StoredSignature::State::malformed;
    return signature;
  }
  signature.state = StoredSignature::State::malformed;
  if (!S_ISDIR(info.st_mode)) return signature;
  std::optional<std::string> directory = readSmallFile(bundle / std::string(kCodeDirectoryFile), kMaxCodeDirectorySize);
  std::optional<std::string> cms = readSmallFile(bundle / std::string(kSignatureFile), kMaxSignatureSize);
  if (!directory || !cms) return signature;
  signature.codeDirectory = std::move(*directory);
  signature.cms = std::move(*cms);
  signature.state = StoredSignature::State::present;
  return signature;
}

StoredSignature readAppendedSignature(int fd) {
  StoredSignature signature;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || static_cast<std::uint64_t>(info.st_size) < kFooterSize) return signature;
  const auto size = static_cast<std::uint64_t>(info.st_size);
  std::string footer;
  if (!preadAll(fd, footer, size - kFooterSize, kFooterSize)) return signature;
  if (std::memcmp(footer.data() + 16, kFooterMagic, sizeof kFooterMagic) != 0) return signature;  // unsigned
  signature.state = StoredSignature::State::malformed;
  const auto* bytes = reinterpret_cast<const unsigned char*>(footer.data());
  const std::uint64_t directoryLength = readLittleEndian(bytes, 4);
  const std::uint64_t cmsLength = readLittleEndian(bytes + 4, 4);
  const std::uint64_t contentLength = readLittleEndian(bytes + 8, 8);
  if (directoryLength > kMaxCodeDirectorySize || cmsLength > kMaxSignatureSize || contentLength > size ||
      contentLength + directoryLength + cmsLength + kFooterSize != size) {
    return signature;
  }
  if (!preadAll(fd, signature.codeDirectory, contentLength, static_cast<std::size_t>(directoryLength)) ||
      !preadAll(fd, signature.cms, contentLength + directoryLength, static_cast<std::size_t>(cmsLength))) {
    return signature;
  }
  signature.contentLength = contentLength;
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

std::optional<Sha256> hashResource(const fs::path& bundle, const std::string& relative, std::uint64_t size) {
  UniqueFd fd(::open((bundle / relative).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<std::uint64_t>(info.st_size) != size) {
    return std::nullopt;
  }
  return sha256OfFd(fd.get(), size);
}

OSStatus listResources(const fs::path& bundle, const std::string& executableRelative, bool hash,
                       std::vector<SealedResource>* resources) {
  resources->clear();
  std::string base = bundle.native();
  if (base.empty() || base.back() != '/') base.push_back('/');
  std::error_code ec;
  fs::recursive_directory_iterator it(bundle, fs::directory_options::none, ec);
  for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
    const std::string& full = it->path().native();
    if (full.compare(0, base.size(), base) != 0) return errSecCSInternalError;
    std::string relative = full.substr(base.size());
    const fs::file_status status = it->symlink_status(ec);
    if (ec) break;
    if (fs::is_directory(status)) {
      if (relative == kSignatureDirectory) it.disable_recursion_pending();
      continue;
    }
    if (relative == executableRelative) continue;
    SealedResource resource;
    resource.path = std::move(relative);
    if (fs::is_symlink(status)) {
      resource.isLink = true;
      resource.linkTarget = fs::read_symlink(it->path(), ec).native();
      if (ec) break;
      if (!linkStaysInside(resource.path, resource.linkTarget)) return errSecCSInvalidSymlink;
    } else if (fs::is_regular_file(status)) {
      resource.size = static_cast<std::uint64_t>(it->file_size(ec));
      if (ec) break;
      if (hash) {
        std::optional<Sha256> digest = hashResource(bundle, resource.path, resource.size);
        if (!digest) return errSecCSBadResource;
        resource.sha256 = *digest;
      }
    } else {
      return errSecCSBadResource;
    }
    resources->push_back(std::move(resource));
  }
  if (ec) return errSecCSBadResource;
  std::sort(resources->begin(), resources->end(),
            [](const SealedResource& a, const SealedResource& b) { return a.path < b.path; });
  return errSecSuccess;
}

}  // namespace tessaly::codesign::detail
