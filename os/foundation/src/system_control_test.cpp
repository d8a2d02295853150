#include "tessaly/foundation/system_control.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "tessaly/testing/files.h"

namespace tessaly::foundation {
namespace {

namespace fs = std::filesystem;

TEST(SystemControl, MachineNameFollowsTheSizeQueryAndReadProtocol) {
  utsname info{};
  ASSERT_EQ(::uname(&info), 0);
  std::size_t size = 0;
  ASSERT_EQ(sysctlbyname("hw.machine", nullptr, &size, nullptr, 0), 0);
  EXPECT_EQ(size, std::strlen(info.machine) + 1);

  std::string buffer(size, 'x');
  ASSERT_EQ(sysctlbyname("hw.machine", buffer.data(), &size, nullptr, 0), 0);
  EXPECT_EQ(buffer, std::string(info.machine) + '\0');

  std::size_t tooSmall = size - 1;
  errno = 0;
  EXPECT_EQ(sysctlbyname("hw.machine", buffer.data(), &tooSmall, nullptr, 0), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(sysctlbyname("hw.machine", buffer.data(), &size, "new", 3), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(sysctlbyname("kern.nonsense", nullptr, &size, nullptr, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(sysctlbyname(nullptr, nullptr, &size, nullptr, 0), -1);
  EXPECT_EQ(sysctlbyname("hw.machine", nullptr, nullptr, nullptr, 0), -1);
}

TEST(SystemControl, ModelComesFromTheFirmwareTables) {
  tessaly::testing::TemporaryDirectory scratch;
  const fs::path& root = scratch.path();
  SystemControl control(root);
  EXPECT_FALSE(control.text("hw.model")) << "no firmware tables, no model";

  fs::create_directories(root / "proc/device-tree");
  std::ofstream(root / "proc/device-tree/model", std::ios::binary) << std::string("Raspberry Pi 4 Model B\0", 23);
  EXPECT_EQ(control.text("hw.model"), "Raspberry Pi 4 Model B");

  fs::create_directories(root / "sys/class/dmi/id");
  std::ofstream(root / "sys/class/dmi/id/product_name") << "ThinkPad X1 Carbon  \n";
  EXPECT_EQ(control.text("hw.model"), "ThinkPad X1 Carbon");

  std::size_t size = 0;
  ASSERT_EQ(control.read("hw.model", nullptr, &size), 0);
  EXPECT_EQ(size, sizeof("ThinkPad X1 Carbon"));
}

}  // namespace
}  // namespace tessaly::foundation
