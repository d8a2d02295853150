#include "tessaly/foundation/system_control.h"

#include <sys/utsname.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace tessaly::foundation {
namespace {

// The first line of a small kernel-provided text file, without trailing blanks and NULs; empty if unreadable.
std::string firmwareText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  std::string text;
  char c = 0;
  while (text.size() < 4096 && in.get(c) && c != '\n' && c != '\0') text.push_back(c);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace

SystemControl::SystemControl(std::filesystem::path root) : root_(std::move(root)) {}

std::optional<std::string> SystemControl::text(std::string_view name) const {
  if (name == "hw.machine") {
    utsname info{};
    if (::uname(&info) != 0 || info.machine[0] == '\0') return std::nullopt;
    return std::string(info.machine);
  }
  if (name == "hw.model") {
    for (const char* source :
         {"sys/class/dmi/id/product_name", "sys/firmware/devicetree/base/model", "proc/device-tree/model"}) {
      std::string model = firmwareText(root_ / source);
      if (!model.empty()) return model;
    }
  }
  return std::nullopt;
}

int SystemControl::read(const char* name, void* oldp, std::size_t* oldlenp, const void* newp,
                        std::size_t newlen) const {
  if (newp != nullptr || newlen != 0) {
    errno = EPERM;
    return -1;
  }
  if (name == nullptr) {
    errno = ENOENT;
    return -1;
  }
  if (oldlenp == nullptr) {
    errno = EFAULT;
    return -1;
  }
  std::optional<std::string> value = text(name);
  if (!value) {
    errno = ENOENT;
    return -1;
  }
  const std::size_t size = value->size() + 1;
  if (oldp == nullptr) {
    *oldlenp = size;
    return 0;
  }
  if (*oldlenp < size) {
    errno = ENOMEM;
    return -1;
  }
  std::memcpy(oldp, value->c_str(), size);
  *oldlenp = size;
  return 0;
}

int sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, const void* newp, std::size_t newlen) {
  static const SystemControl machine;
  return machine.read(name, oldp, oldlenp, newp, newlen);
}

}  // namespace tessaly::foundation
