#include "tessaly/foundation/user_folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace tessaly::foundation {
namespace {

std::filesystem::path absoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return {};
  return std::filesystem::path(value);
}

std::filesystem::path homeFromUserDatabase() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return "/";
  }
  return std::filesystem::path(found->pw_dir);
}

}  // namespace

std::filesystem::path userHomeDirectory() {
  std::filesystem::path home = absoluteFromEnvironment("HOME");
  return home.empty() ? homeFromUserDatabase() : home;
}

std::filesystem::path userConfigDirectory() {
  std::filesystem::path dir = absoluteFromEnvironment("XDG_CONFIG_HOME");
  return dir.empty() ? userHomeDirectory() / ".config" : dir;
}

std::filesystem::path userDataDirectory() {
  std::filesystem::path dir = absoluteFromEnvironment("XDG_DATA_HOME");
  return dir.empty() ? userHomeDirectory() / ".local" / "share" : dir;
}

}  // namespace tessaly::foundation
