// The service directory: where it is, and that it is private before anything is published in it.
#include "tessaly/xpc/service_directory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tessaly/testing/files.h"

namespace tessaly::xpc {
namespace {

TEST(ServiceDirectory, IsResolvedFromTheEnvironment) {
  const std::string expected = "/run/user/1000/app/com.tessaly.xpc";
  const std::vector<std::pair<DirectoryEnvironment, std::string>> cases = {
      {{"/custom/dir/", "/run/user/1000", "", 1000, true}, "/custom/dir"},
      {{"", "/run/user/1000", "", 1000, true}, expected},
      {{"", "/run/user/1000/snap.chromium", "chromium", 1000, true}, expected},  // inside a Snap
      {{"", "run/user", "", 1000, true}, expected},                              // relative: ignored
      {{"", "", "", 1000, true}, expected},
      {{"", "", "", 1000, false}, "/tmp/tessaly-xpc-1000"},
  };
  for (const auto& [environment, path] : cases) EXPECT_EQ(resolveServiceDirectory(environment), path);
}

TEST(ServiceDirectory, IsMadePrivateAndNeverALinkOrAFile) {
  tessaly::testing::TemporaryDirectory scratch;
  const std::string base = scratch.path();
  auto mode = [](const std::string& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_mode & 07777;
  };
  const std::string created = base + "/app/com.tessaly.xpc";
  EXPECT_EQ(checkPrivateDirectory(created), Error::service_unavailable);
  ASSERT_EQ(preparePrivateDirectory(created), Error::none);
  EXPECT_EQ(mode(created), 0700u);
  EXPECT_EQ(mode(base + "/app"), 0700u);
  EXPECT_EQ(checkPrivateDirectory(created), Error::none);

  const std::string open = base + "/open";
  ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
  EXPECT_EQ(checkPrivateDirectory(open), Error::directory_unusable);
  std::string problem;
  EXPECT_EQ(preparePrivateDirectory(open, &problem), Error::directory_unusable);
  EXPECT_EQ(problem, "is open to others (mode 0777)");
  EXPECT_EQ(mode(open), 0777u) << "refused, not changed";
  ASSERT_EQ(::chmod(open.c_str(), 0730), 0);
  EXPECT_EQ(preparePrivateDirectory(open), Error::directory_unusable);
  ASSERT_EQ(::chmod(open.c_str(), 0755), 0);  // others may look, not write: made private
  EXPECT_EQ(preparePrivateDirectory(open), Error::none);
  EXPECT_EQ(mode(open), 0700u);

  const std::string link = base + "/link";
  const std::string file = base + "/file";
  ASSERT_EQ(::symlink(created.c_str(), link.c_str()), 0);
  std::ofstream(file) << "x";
  EXPECT_EQ(preparePrivateDirectory(link, &problem), Error::directory_unusable);
  EXPECT_EQ(problem, "is a symbolic link or not a folder");
  EXPECT_EQ(checkPrivateDirectory(link), Error::directory_unusable);
  EXPECT_EQ(preparePrivateDirectory(file), Error::directory_unusable);

  // A folder made beforehand by another user, as anyone may in /tmp.
  const std::string foreign = base + "/foreign";
  ASSERT_EQ(::mkdir(foreign.c_str(), 0700), 0);
  if (::chown(foreign.c_str(), 12345, 12345) == 0) {
    EXPECT_EQ(preparePrivateDirectory(foreign, &problem), Error::directory_unusable);
    EXPECT_EQ(problem, "belongs to user 12345");
  }
  std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace tessaly::xpc
