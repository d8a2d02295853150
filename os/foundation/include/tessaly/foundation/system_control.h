// System control values by name (the sysctlbyname facility), answered from this machine's own data.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tessaly::foundation {

// The text-valued system controls this system knows:
//   "hw.machine"  the machine's hardware name as uname(2) reports it ("x86_64", "aarch64", ...);
//   "hw.model"    the product name from the firmware tables (DMI product name, or the device-tree model).
// Any other name is unknown. `root` is where the kernel's /sys and /proc are found ("/" except in tests).
class SystemControl {
 public:
  explicit SystemControl(std::filesystem::path root = "/");

  // The value of `name`, or nothing when the name is unknown or this machine does not provide it.
  std::optional<std::string> text(std::string_view name) const;

  // sysctlbyname(3) semantics for reading: with `oldp` null, stores the value's size (text plus its NUL) in
  // `*oldlenp`; otherwise copies the value and its NUL into `oldp` when `*oldlenp` is large enough and stores
  // the size written. Returns 0, or -1 with errno ENOENT (unknown or not provided), ENOMEM (buffer too small),
  // EPERM (an attempt to set a value) or EFAULT (no length given).
  int read(const char* name, void* oldp, std::size_t* oldlenp, const void* newp = nullptr,
           std::size_t newlen = 0) const;

 private:
  std::filesystem::path root_;
};

// Reads through a SystemControl of this machine.
int sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, const void* newp, std::size_t newlen);

}  // namespace tessaly::foundation
