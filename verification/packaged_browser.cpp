#include "tessaly/verification/packaged_browser.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "tessaly/verification/code_signing_steps.h"

namespace tessaly::verification {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxDatabaseFileSize = std::size_t{64} << 20;
constexpr std::size_t kReadChunk = std::size_t{1} << 20;
constexpr std::string_view kDeletedMark = " (deleted)";

class Fd {
 public:
  explicit Fd(int fd = -1) noexcept : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

 private:
  int fd_;
};

// A value, or the reason there is none.
template <typename T>
struct Outcome {
  std::optional<T> value;
  std::string why;
};

// Owned by root and writable by nobody else. With POSIX ACLs the group bits are the mask of every named entry,
// so a write grant to anyone shows there too.
std::string ownershipProblem(const struct stat& info) {
  if (info.st_uid != 0) return "is owned by uid " + std::to_string(info.st_uid) + ", not root";
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "is writable by group or others";
  return {};
}

// Opens the regular file at the absolute `path`, walking from "/" one component at a time without following
// symbolic links; every folder on the way and the file itself must be owned by root and writable by nobody
// else. The file is opened without waiting, so a FIFO or a device in its place cannot hold the check up.
Outcome<Fd> openTrusted(const std::string& path) {
  if (path.empty() || path.front() != '/') return {std::nullopt, path + " is not an absolute path"};
  Fd folder(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat info {};
  if (!folder || ::fstat(folder.get(), &info) != 0) return {std::nullopt, "cannot open /"};
  if (std::string problem = ownershipProblem(info); !problem.empty()) return {std::nullopt, "/ " + problem};

  std::size_t start = 1;
  std::string walked;
  for (;;) {
    const std::size_t slash = path.find('/', start);
    const std::string name = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (name.empty() || name == "." || name == "..") {
      if (slash == std::string::npos) return {std::nullopt, path + " does not name a file"};
      if (!name.empty()) return {std::nullopt, path + " is not a plain path"};
      start = slash + 1;
      continue;
    }
    walked += "/" + name;
    if (slash == std::string::npos) {
      Fd file(::openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      if (!file) return {std::nullopt, "cannot open " + walked + ": " + std::strerror(errno)};
      if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return {std::nullopt, walked + " is not a regular file"};
      }
      if (std::string problem = ownershipProblem(info); !problem.empty()) return {std::nullopt, walked + " " + problem};
      return {std::move(file), {}};
    }
    Fd next(::openat(folder.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next || ::fstat(next.get(), &info) != 0) {
      return {std::nullopt, "cannot open the folder " + walked + ": " + std::strerror(errno)};
    }
    if (std::string problem = ownershipProblem(info); !problem.empty()) {
      return {std::nullopt, "the folder " + walked + " " + problem};
    }
    folder = std::move(next);
    start = slash + 1;
  }
}

// The whole contents of an open regular file of at most kMaxDatabaseFileSize bytes.
Outcome<std::string> readAll(const Fd& file, const std::string& path, Clock::time_point deadline) {
  std::string bytes;
  char buffer[1 << 16];
  for (;;) {
    if (Clock::now() > deadline) return {std::nullopt, "ran out of time reading " + path};
    const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return {std::nullopt, "cannot read " + path + ": " + std::strerror(errno)};
    if (got == 0) return {std::move(bytes), {}};
    if (bytes.size() + static_cast<std::size_t>(got) > kMaxDatabaseFileSize) {
      return {std::nullopt, path + " is larger than " + std::to_string(kMaxDatabaseFileSize) + " bytes"};
    }
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
}

Outcome<std::string> readTrusted(const std::string& path, Clock::time_point deadline) {
  auto [file, why] = openTrusted(path);
  if (!file) return {std::nullopt, why};
  return readAll(*file, path, deadline);
}

struct InstalledPackage {
  std::string name;
  std::string architecture;
};

// The packages of `wanted` that the status file records as installed ("<want> ok installed").
std::vector<InstalledPackage> installedPackages(std::string_view status, const std::vector<std::string>& wanted) {
  std::vector<InstalledPackage> found;
  std::string package, architecture;
  bool installed = false;
  const auto endParagraph = [&] {
    if (installed && !package.empty()) {
      for (const std::string& name : wanted) {
        if (name == package) found.push_back({package, architecture});
      }
    }
    package.clear();
    architecture.clear();
    installed = false;
  };
  const auto value = [](std::string_view line, std::string_view field) -> std::optional<std::string_view> {
    if (!line.starts_with(field)) return std::nullopt;
    line.remove_prefix(field.size());
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) line.remove_suffix(1);
    return line;
  };
  std::size_t start = 0;
  while (start <= status.size()) {
    std::size_t end = status.find('\n', start);
    if (end == std::string_view::npos) end = status.size();
    const std::string_view line = status.substr(start, end - start);
    if (line.empty() || line == "\r") {
      endParagraph();
    } else if (auto name = value(line, "Package:")) {
      package = *name;
    } else if (auto arch = value(line, "Architecture:")) {
      architecture = *arch;
    } else if (auto state = value(line, "Status:")) {
      installed = state->ends_with(" ok installed");
    }
    start = end + 1;
  }
  endParagraph();
  return found;
}

// The names `path` also has through the folders that a merged /usr links from the root (/bin -> usr/bin and
// the like), where packages may still record their files.
std::vector<std::string> namesOf(const std::string& path) {
  std::vector<std::string> names{path};
  for (const char* alias : {"bin", "sbin", "lib", "lib32", "lib64", "libx32"}) {
    const std::string inUsr = std::string("/usr/") + alias + "/";
    if (!path.starts_with(inUsr)) continue;
    char target[64] = {};
    const ssize_t length = ::readlink((std::string("/") + alias).c_str(), target, sizeof target - 1);
    if (length > 0 && std::string_view(target, static_cast<std::size_t>(length)) == inUsr.substr(1, inUsr.size() - 2)) {
      names.push_back("/" + std::string(alias) + "/" + path.substr(inUsr.size()));
    }
  }
  return names;
}

// The digest that an md5sums file ("<32 hex digits>  <path without its leading slash>" per line) records for
// one of `names`, in lower case.
std::optional<std::string> recordedDigest(std::string_view md5sums, const std::vector<std::string>& names) {
  const auto listed = [&](std::string_view recorded) {
    for (const std::string& name : names) {
      if (std::string_view(name).substr(1) == recorded) return true;
    }
    return false;
  };
  std::size_t start = 0;
  while (start < md5sums.size()) {
    std::size_t end = md5sums.find('\n', start);
    if (end == std::string_view::npos) end = md5sums.size();
    std::string_view line = md5sums.substr(start, end - start);
    start = end + 1;
    if (line.size() < 34 || line.substr(32, 2) != "  " || !listed(line.substr(34))) continue;
    std::string digest(line.substr(0, 32));
    for (char& c : digest) {
      if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
    }
    return digest;
  }
  return std::nullopt;
}

Outcome<std::string> md5OfFile(const Fd& file, Clock::time_point deadline) {
  struct Free {
    void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
  };
  std::unique_ptr<EVP_MD_CTX, Free> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1)
    return {std::nullopt, "MD5 is not available"};
  std::unique_ptr<char[]> buffer(new char[kReadChunk]);
  off_t offset = 0;
  for (;;) {
    if (Clock::now() > deadline) return {std::nullopt, "ran out of time hashing the executable"};
    const ssize_t got = ::pread(file.get(), buffer.get(), kReadChunk, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return {std::nullopt, std::string("cannot read the executable: ") + std::strerror(errno)};
    if (got == 0) break;
    if (EVP_DigestUpdate(context.get(), buffer.get(), static_cast<std::size_t>(got)) != 1) {
      return {std::nullopt, "hashing failed"};
    }
    offset += got;
  }
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1) return {std::nullopt, "hashing failed"};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 0xf]);
  }
  return {std::move(text), {}};
}

// The package that holds the running executable of `pid`, or why there is none.
Outcome<std::string> owningPackage(std::int32_t pid, const PackageDatabase& database) {
  const Clock::time_point deadline = Clock::now() + database.budget;
  // The process's own folder is held open, so a recycled pid cannot stand in for it half-way.
  Fd process(::open(("/proc/" + std::to_string(pid)).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (pid <= 0 || !process) return {std::nullopt, "there is no such process"};
  Fd running(::openat(process.get(), "exe", O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat runningInfo {};
  if (!running || ::fstat(running.get(), &runningInfo) != 0) {
    return {std::nullopt, std::string("cannot open its executable: ") + std::strerror(errno)};
  }
  std::string path(PATH_MAX, '\0');
  const ssize_t length = ::readlinkat(process.get(), "exe", path.data(), path.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= path.size())
    return {std::nullopt, "cannot read its executable's path"};
  path.resize(static_cast<std::size_t>(length));
  if (path.ends_with(kDeletedMark)) return {std::nullopt, "its executable was removed or replaced after it started"};

  auto [byPath, why] = openTrusted(path);
  if (!byPath) return {std::nullopt, why};
  struct stat pathInfo {};
  if (::fstat(byPath->get(), &pathInfo) != 0 || pathInfo.st_dev != runningInfo.st_dev ||
      pathInfo.st_ino != runningInfo.st_ino) {
    return {std::nullopt, path + " is no longer the file the process runs"};
  }

  auto [status, statusProblem] = readTrusted((database.root / "status").native(), deadline);
  if (!status) return {std::nullopt, statusProblem};
  const std::vector<std::string> names = namesOf(path);
  std::vector<std::pair<std::string, std::string>> candidates;  // package, recorded digest
  for (const InstalledPackage& package : installedPackages(*status, database.packages)) {
    const std::filesystem::path info = database.root / "info";
    std::filesystem::path list = info / (package.name + ".md5sums");
    if (::access(list.c_str(), F_OK) != 0 && !package.architecture.empty()) {
      list = info / (package.name + ":" + package.architecture + ".md5sums");
    }
    auto [sums, sumsProblem] = readTrusted(list.native(), deadline);
    if (!sums) return {std::nullopt, sumsProblem};
    if (std::optional<std::string> digest = recordedDigest(*sums, names))
      candidates.emplace_back(package.name, *digest);
  }
  if (candidates.empty()) return {std::nullopt, "no installed browser package lists " + path};

  auto [digest, hashProblem] = md5OfFile(*byPath, deadline);
  if (!digest) return {std::nullopt, hashProblem};
  for (const auto& [package, recorded] : candidates) {
    if (recorded == *digest) return {path + " of the installed package " + package, {}};
  }
  return {std::nullopt, path + " differs from what its package installed"};
}

}  // namespace

const std::vector<std::string>& supportedBrowserPackages() {
  static const std::vector<std::string> packages = {
      "chromium",
      "google-chrome-stable",
      "google-chrome-beta",
      "google-chrome-unstable",
      "microsoft-edge-stable",
      "microsoft-edge-beta",
      "microsoft-edge-dev",
      "brave-browser",
      "brave-browser-beta",
      "brave-browser-nightly",
      "vivaldi-stable",
      "vivaldi-snapshot",
      "opera-stable",
      "opera-beta",
      "opera-developer",
      "firefox",
      "firefox-esr",
      "firefox-beta",
      "firefox-devedition",
      "firefox-nightly",
  };
  return packages;
}

PackageDatabase systemBrowserDatabase() {
  PackageDatabase database;
  database.packages = supportedBrowserPackages();
  return database;
}

bool isInstalledBrowserPackage(std::int32_t pid, const PackageDatabase& database) noexcept {
  try {
    const std::string who = "Browser " + std::to_string(pid);
    steps::log("Will check browser " + std::to_string(pid) + " against the installed packages");
    auto [found, why] = owningPackage(pid, database);
    if (!found) {
      steps::log(who + " is not an installed browser package: " + why);
      return false;
    }
    steps::log(who + " runs " + *found);
    return true;
  } catch (...) { return false; }
}

}  // namespace tessaly::verification
