#include "tessaly/appkit/running_application.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tessaly/testing/child_process.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/signed_peers.h"

namespace tessaly::appkit {
namespace {

using testing::BundleLayout;
using testing::ChildProcess;
using testing::TemporaryDirectory;
using testing::makeBundle;
using testing::testAppPath;

std::filesystem::path bundledTestApp(const std::filesystem::path& parent, const BundleLayout& base) {
  BundleLayout spec = base;
  spec.executable = testAppPath();
  return makeBundle(parent, spec);
}

TEST(NSRunningApplication, AProcessInABundleHasItsIdentifier) {
  TemporaryDirectory dir;
  BundleLayout spec;
  spec.name = "Desktop App";
  spec.identifier = "com.example.desktop";
  spec.executableName = "Desktop";
  const auto bundle = bundledTestApp(dir.path(), spec);
  ChildProcess child(bundle / "Contents/MacOS/Desktop", {"info"});
  // The child sees its own bundle the same way.
  EXPECT_EQ(child.readLine(), "mainBundle=" + bundle.native());
  EXPECT_EQ(child.readLine(), "identifier=com.example.desktop");
  EXPECT_EQ(child.readLine(), "bundleURL=" + NSURL::fileURLWithPath(bundle.native()).absoluteString());
  EXPECT_EQ(child.readLine(), "ready");

  auto application = NSRunningApplication::runningApplicationWithProcessIdentifier(child.pid());
  ASSERT_NE(application, nullptr);
  EXPECT_EQ(application->processIdentifier(), child.pid());
  EXPECT_EQ(application->executablePath(), (bundle / "Contents/MacOS/Desktop").native());
  EXPECT_EQ(application->bundleIdentifier(), "com.example.desktop");
  EXPECT_EQ(application->bundlePath(), bundle.native());
  ASSERT_TRUE(application->bundleURL().has_value());
  EXPECT_EQ(application->bundleURL()->path(), bundle.native());
  EXPECT_EQ(application->bundleURL()->absoluteString(), "file://" + dir.path().native() + "/Desktop%20App.app");
}

TEST(NSRunningApplication, BareExecutablesAndBundlesWithoutIdentifierHaveNone) {
  TemporaryDirectory dir;
  ChildProcess bare(testAppPath(), {"info"});
  EXPECT_EQ(bare.readLine(), "mainBundle=-");

  BundleLayout spec;
  spec.identifier.reset();
  ChildProcess anonymous(bundledTestApp(dir.path(), spec) / "Contents/MacOS/Peer", {"info"});
  EXPECT_EQ(anonymous.readLine(), "mainBundle=" + (dir.path() / "Peer.app").native());
  EXPECT_EQ(anonymous.readLine(), "identifier=-");

  auto bareApplication = NSRunningApplication::runningApplicationWithProcessIdentifier(bare.pid());
  ASSERT_NE(bareApplication, nullptr);
  EXPECT_EQ(bareApplication->executablePath(), testAppPath().native());
  EXPECT_FALSE(bareApplication->bundleIdentifier().has_value());
  EXPECT_FALSE(bareApplication->bundlePath().has_value());
  EXPECT_FALSE(bareApplication->bundleURL().has_value());

  auto anonymousApplication = NSRunningApplication::runningApplicationWithProcessIdentifier(anonymous.pid());
  ASSERT_NE(anonymousApplication, nullptr);
  EXPECT_FALSE(anonymousApplication->bundleIdentifier().has_value());
  EXPECT_EQ(anonymousApplication->bundlePath(), (dir.path() / "Peer.app").native());
}

// Only the bundle's main executable is the application; other programs inside the bundle (a helper that a
// browser starts, a second program beside the main one) are not, or they would be taken for the desktop app.
TEST(NSRunningApplication, OnlyTheMainExecutableOfABundleIsTheApplication) {
  TemporaryDirectory dir;
  BundleLayout spec;
  spec.name = "Agent";
  spec.identifier = "com.example.agent";
  spec.executableName = "Agent";
  const auto bundle = bundledTestApp(dir.path(), spec);
  for (const char* relative : {"Contents/Helpers/helper", "Contents/MacOS/Other", "Contents/Resources/tool"}) {
    std::filesystem::create_directories((bundle / relative).parent_path());
    std::filesystem::copy_file(testAppPath(), bundle / relative);
  }
  struct Case {
    const char* relative;
    bool isApplication;
  };
  for (const Case& c : {Case{"Contents/MacOS/Agent", true}, Case{"Contents/Helpers/helper", false},
                        Case{"Contents/MacOS/Other", false}, Case{"Contents/Resources/tool", false}}) {
    ChildProcess child(bundle / c.relative, {"info"});
    ASSERT_TRUE(child.readLine().has_value()) << c.relative;
    auto application = NSRunningApplication::runningApplicationWithProcessIdentifier(child.pid());
    ASSERT_NE(application, nullptr) << c.relative;
    EXPECT_EQ(application->executablePath(), (bundle / c.relative).native());
    EXPECT_EQ(application->bundleIdentifier().has_value(), c.isApplication) << c.relative;
    EXPECT_EQ(application->bundlePath().has_value(), c.isApplication) << c.relative;
  }
}

TEST(NSRunningApplication, AProcessThatHasEndedIsNotFound) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_EQ(NSRunningApplication::runningApplicationWithProcessIdentifier(pid), nullptr);
  EXPECT_EQ(NSRunningApplication::runningApplicationWithProcessIdentifier(0), nullptr);
  EXPECT_EQ(NSRunningApplication::runningApplicationWithProcessIdentifier(-1), nullptr);
}

TEST(NSRunningApplication, CurrentApplicationIsThisProcess) {
  auto current = NSRunningApplication::currentApplication();
  ASSERT_NE(current, nullptr);
  EXPECT_EQ(current->processIdentifier(), ::getpid());
  EXPECT_EQ(current->executablePath(), std::filesystem::read_symlink("/proc/self/exe").native());
  EXPECT_FALSE(current->bundleURL().has_value());
}

}  // namespace
}  // namespace tessaly::appkit
