#include "tessaly/appkit/running_application.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tessaly/testing/child_process.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/signed_peers.h"

namespace tessaly::appkit {
namespace {

namespace fs = std::filesystem;
using testing::BundleLayout;
using testing::ChildProcess;
using testing::testAppPath;

// Only a bundle's main executable is the application with the bundle's identifier; other programs inside the
// bundle (a helper that a browser starts, a second program beside the main one) are not, or they would be
// taken for the desktop app. A bundle without an identifier, or a program in no bundle, has none.
TEST(NSRunningApplication, OnlyTheMainExecutableOfABundleIsTheApplication) {
  testing::TemporaryDirectory dir;
  BundleLayout layout;
  layout.name = "Desktop App";
  layout.identifier = "com.example.desktop";
  layout.executableName = "Desktop";
  layout.executable = testAppPath();
  const fs::path bundle = makeBundle(dir.path(), layout);
  for (const char* relative : {"Contents/Helpers/helper", "Contents/MacOS/Other", "Contents/Resources/tool"}) {
    testing::copyExecutable(testAppPath(), bundle / relative);
  }
  BundleLayout anonymous;
  anonymous.identifier.reset();
  anonymous.executable = testAppPath();
  const fs::path peer = makeBundle(dir.path(), anonymous);
  struct Case {
    fs::path executable;
    std::optional<std::string> identifier, bundlePath;
  };
  const std::vector<Case> cases{{bundle / "Contents/MacOS/Desktop", "com.example.desktop", bundle.native()},
                                {bundle / "Contents/Helpers/helper", std::nullopt, std::nullopt},
                                {bundle / "Contents/MacOS/Other", std::nullopt, std::nullopt},
                                {bundle / "Contents/Resources/tool", std::nullopt, std::nullopt},
                                {peer / "Contents/MacOS/Peer", std::nullopt, peer.native()},
                                {testAppPath(), std::nullopt, std::nullopt}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.executable);
    ChildProcess child(c.executable, {"info"});
    ASSERT_TRUE(child.readLine().has_value());
    auto application = NSRunningApplication::runningApplicationWithProcessIdentifier(child.pid());
    ASSERT_NE(application, nullptr);
    EXPECT_EQ(application->processIdentifier(), child.pid());
    EXPECT_EQ(application->executablePath(), c.executable.native());
    EXPECT_EQ(application->bundleIdentifier(), c.identifier);
    EXPECT_EQ(application->bundlePath(), c.bundlePath);
    EXPECT_EQ(application->bundleURL().has_value(), c.bundlePath.has_value());
  }
  // The application sees its own bundle the same way; its URL escapes the space.
  ChildProcess desktop(bundle / "Contents/MacOS/Desktop", {"info"});
  EXPECT_EQ(desktop.readLine(), "mainBundle=" + bundle.native());
  EXPECT_EQ(desktop.readLine(), "identifier=com.example.desktop");
  EXPECT_EQ(desktop.readLine(), "bundleURL=file://" + dir.path().native() + "/Desktop%20App.app");
}

TEST(NSRunningApplication, FindsLiveProcessesOnly) {
  auto current = NSRunningApplication::currentApplication();
  ASSERT_NE(current, nullptr);
  EXPECT_EQ(current->processIdentifier(), ::getpid());
  EXPECT_EQ(current->executablePath(), fs::read_symlink("/proc/self/exe").native());
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
  for (pid_t gone : {pid, 0, -1}) {
    EXPECT_EQ(NSRunningApplication::runningApplicationWithProcessIdentifier(gone), nullptr) << gone;
  }
}

}  // namespace
}  // namespace tessaly::appkit
