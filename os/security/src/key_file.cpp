#include "key_file.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tessaly::security::keyfile {
namespace {

std::string systemError(std::string_view what, const std::filesystem::path& path, int error) {
  return std::string(what) + " " + path.string() + ": " + std::strerror(error);
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

bool writeAll(int fd, std::string_view text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void syncFolderOf(const std::filesystem::path& path) {
  FileDescriptor folder(::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0) ::fsync(folder.get());
}

}  // namespace

Contents read(const std::filesystem::path& path) {
  Contents contents;
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.get() < 0) {
    const int error = errno;
    contents.status = error == ENOENT ? errSecItemNotFound : errSecIO;
    contents.problem = systemError("cannot open", path, error);
    return contents;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    contents.status = errSecIO;
    contents.problem = path.string() + " is not a regular file";
    return contents;
  }
  if (info.st_uid != ::geteuid()) {
    contents.status = errSecIO;
    contents.problem = path.string() + " belongs to user " + std::to_string(info.st_uid) + ", not to this user";
    return contents;
  }
  if (static_cast<std::size_t>(info.st_size) > kMaxSize) {
    contents.status = errSecDecode;
    contents.problem = path.string() + " is too large to be a key file";
    return contents;
  }
  if ((info.st_mode & 077) != 0) ::fchmod(fd.get(), 0600);
  contents.text.resize(static_cast<std::size_t>(info.st_size));
  std::size_t done = 0;
  while (done < contents.text.size()) {
    const ssize_t n = ::read(fd.get(), contents.text.data() + done, contents.text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  if (done != contents.text.size()) {
    OPENSSL_cleanse(contents.text.data(), contents.text.size());
    contents.text.clear();
    contents.status = errSecIO;
    contents.problem = systemError("cannot read", path, errno);
  }
  return contents;
}

OSStatus createExclusively(const std::filesystem::path& path, std::string_view text, std::string* problem) {
  auto fail = [&](OSStatus status, std::string what) {
    if (problem != nullptr) *problem = std::move(what);
    return status;
  };
  std::string temporary = path.string() + ".new.XXXXXX";
  FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (fd.get() < 0) return fail(errSecIO, systemError("cannot write beside", path, errno));
  bool ok = ::fchmod(fd.get(), 0600) == 0 && writeAll(fd.get(), text) && ::fsync(fd.get()) == 0;
  int error = errno;
  ok = ::close(fd.release()) == 0 && ok;
  if (!ok) {
    ::unlink(temporary.c_str());
    return fail(errSecIO, systemError("cannot write", temporary, error));
  }
  // link() refuses an existing name, which rename() would replace.
  const int linked = ::link(temporary.c_str(), path.c_str());
  error = errno;
  ::unlink(temporary.c_str());
  if (linked != 0) {
    if (error == EEXIST) return fail(errSecDuplicateItem, path.string() + " already exists");
    return fail(errSecIO, systemError("cannot create", path, error));
  }
  syncFolderOf(path);
  return errSecSuccess;
}

bool makeOwnerOnlyFolder(const std::filesystem::path& folder) {
  std::filesystem::path built;
  for (const auto& part : folder) {
    built /= part;
    if (::mkdir(built.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) return false;
  return (info.st_mode & 077) == 0 || ::chmod(folder.c_str(), 0700) == 0;
}

}  // namespace tessaly::security::keyfile
