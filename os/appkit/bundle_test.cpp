#include "tessaly/appkit/bundle.h"

#include <gtest/gtest.h>

#include "tessaly/testing/child_process.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/signed_peers.h"

namespace tessaly::appkit {
namespace {

using testing::BundleLayout;
using testing::TemporaryDirectory;
using testing::makeBundle;
using testing::writeFile;

TEST(NSBundle, ReadsXmlAndBinaryInfoPlists) {
  TemporaryDirectory dir;
  for (bool binary : {false, true}) {
    BundleLayout spec;
    spec.name = binary ? "Binary" : "Xml";
    spec.identifier = "com.example." + spec.name;
    spec.executableName = "Run Me";
    spec.binaryInfoPlist = binary;
    const auto path = makeBundle(dir.path(), spec);
    // A trailing slash names the same bundle.
    auto bundle = NSBundle::bundleWithPath(path.native() + "/");
    ASSERT_NE(bundle, nullptr) << spec.name;
    EXPECT_EQ(bundle->bundlePath(), path.native());
    EXPECT_EQ(bundle->bundleIdentifier(), spec.identifier);
    EXPECT_EQ(bundle->executablePath(), path.native() + "/Contents/MacOS/Run Me");
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleExecutable"), "Run Me");
    // Values that are not strings and missing keys read as nothing.
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("LSUIElement"), std::nullopt);
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("NoSuchKey"), std::nullopt);
  }
}

TEST(NSBundle, RefusesWhatIsNotABundle) {
  TemporaryDirectory dir;
  EXPECT_EQ(NSBundle::bundleWithPath((dir.path() / "Missing.app").native()), nullptr);
  EXPECT_EQ(NSBundle::bundleWithPath(""), nullptr);

  writeFile(dir.path() / "Text.app/Contents/Info.plist", "not a property list");
  EXPECT_EQ(NSBundle::bundleWithPath((dir.path() / "Text.app").native()), nullptr);

  // A property list whose root is not a dictionary.
  writeFile(dir.path() / "Array.app/Contents/Info.plist",
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string></array></plist>");
  EXPECT_EQ(NSBundle::bundleWithPath((dir.path() / "Array.app").native()), nullptr);

  // Info.plist as a directory.
  std::filesystem::create_directories(dir.path() / "Dir.app/Contents/Info.plist");
  EXPECT_EQ(NSBundle::bundleWithPath((dir.path() / "Dir.app").native()), nullptr);
}

TEST(NSBundle, IdentifierAndExecutableAreOptional) {
  TemporaryDirectory dir;
  BundleLayout spec;
  spec.identifier.reset();
  spec.executableName = "../escape";
  auto bundle = NSBundle::bundleWithPath(makeBundle(dir.path(), spec).native());
  ASSERT_NE(bundle, nullptr);
  EXPECT_EQ(bundle->bundleIdentifier(), std::nullopt);
  // An executable name that is not a single file name does not name a file inside the bundle.
  EXPECT_EQ(bundle->executablePath(), std::nullopt);
}

TEST(NSBundle, FindsTheInnermostBundleAroundAnExecutable) {
  EXPECT_EQ(NSBundle::bundlePathContaining("/Applications/A.app/Contents/MacOS/A"), "/Applications/A.app");
  EXPECT_EQ(NSBundle::bundlePathContaining("/x/Outer.app/Contents/Helpers/Inner.app/Contents/MacOS/i"),
            "/x/Outer.app/Contents/Helpers/Inner.app");
  EXPECT_EQ(NSBundle::bundlePathContaining("/x/My App.app/"), "/x/My App.app");
  EXPECT_EQ(NSBundle::bundlePathContaining("/usr/bin/true"), std::nullopt);
  // ".app" alone, or ".app" inside a name, is no bundle name.
  EXPECT_EQ(NSBundle::bundlePathContaining("/x/.app/Contents/MacOS/x"), std::nullopt);
  EXPECT_EQ(NSBundle::bundlePathContaining("/x/A.apple/Contents/MacOS/x"), std::nullopt);
  EXPECT_EQ(NSBundle::bundlePathContaining("relative.app/Contents/MacOS/x"), "relative.app");
}

TEST(NSBundle, MainBundleOfAProgramOutsideABundleIsNothing) {
  // The test program itself lives in the build tree, in no bundle.
  EXPECT_EQ(NSBundle::mainBundle(), nullptr);
}

}  // namespace
}  // namespace tessaly::appkit
