#include "tessaly/foundation/user_defaults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "tessaly/foundation/user_folders.h"

namespace tessaly::foundation {
namespace {

// A defaults file larger than this is not a preferences file; it reads as empty.
constexpr std::size_t kMaxFileSize = 16 * 1024 * 1024;

std::optional<std::string> readSmallFile(const std::filesystem::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string content;
  struct stat info {};
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<std::size_t>(info.st_size) <= kMaxFileSize;
  char buffer[8192];
  while (ok) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    content.append(buffer, static_cast<std::size_t>(n));
    ok = content.size() <= kMaxFileSize;
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  return content;
}

bool writeAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) {}

UserDefaults& UserDefaults::standard() {
  static UserDefaults defaults(userConfigDirectory() / "tessaly" / "UserDefaults.plist");
  return defaults;
}

PropertyDictionary UserDefaults::load() const {
  std::optional<std::string> content = readSmallFile(file_);
  if (!content) return {};
  std::optional<PropertyValue> root = parsePropertyList(*content);
  if (!root) return {};
  const auto* dictionary = root->getIf<PropertyDictionary>();
  return dictionary != nullptr ? *dictionary : PropertyDictionary{};
}

bool UserDefaults::store(const PropertyDictionary& entries) const {
  std::string data = serializePropertyList(PropertyValue(entries));
  if (data.empty()) return false;
  std::error_code error;
  const std::filesystem::path folder = file_.parent_path();
  if (!folder.empty()) {
    std::filesystem::create_directories(folder, error);
    if (error) return false;
  }
  std::string temporary = file_.string() + ".XXXXXX";
  int fd = ::mkstemp(temporary.data());
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, data) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temporary.c_str(), file_.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

std::optional<PropertyValue> UserDefaults::objectForKey(std::string_view key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  PropertyDictionary entries = load();
  auto it = entries.find(key);
  if (it == entries.end()) return std::nullopt;
  return it->second;
}

bool UserDefaults::setValue(std::optional<PropertyValue> value, std::string_view key) {
  std::lock_guard<std::mutex> lock(mutex_);
  PropertyDictionary entries = load();
  if (value) {
    entries.insert_or_assign(std::string(key), std::move(*value));
  } else {
    auto it = entries.find(key);
    if (it == entries.end()) return true;
    entries.erase(it);
  }
  return store(entries);
}

PropertyDictionary UserDefaults::dictionaryRepresentation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return load();
}

}  // namespace tessaly::foundation
