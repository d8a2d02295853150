#include "tessaly/appkit/bundle.h"

#include <gtest/gtest.h>

#include "tessaly/testing/files.h"
#include "tessaly/testing/signed_peers.h"

namespace tessaly::appkit {
namespace {

using testing::BundleLayout;
using testing::makeBundle;
using testing::TemporaryDirectory;
using testing::writeFile;

TEST(NSBundle, ReadsXmlAndBinaryInfoPlists) {
  TemporaryDirectory dir;
  for (bool binary : {false, true}) {
    BundleLayout layout;
    layout.name = binary ? "Binary" : "Xml";
    SCOPED_TRACE(layout.name);
    layout.identifier = "com.example." + layout.name;
    layout.executableName = "Run Me";
    layout.binaryInfoPlist = binary;
    const auto path = makeBundle(dir.path(), layout);
    // A trailing slash names the same bundle.
    auto bundle = NSBundle::bundleWithPath(path.native() + "/");
    ASSERT_NE(bundle, nullptr);
    EXPECT_EQ(bundle->bundlePath(), path.native());
    EXPECT_EQ(bundle->bundleIdentifier(), layout.identifier);
    EXPECT_EQ(bundle->executablePath(), path.native() + "/Contents/MacOS/Run Me");
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleExecutable"), "Run Me");
    // Values that are not strings and missing keys read as nothing.
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("LSUIElement"), std::nullopt);
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("NoSuchKey"), std::nullopt);
  }
  // Neither identifier nor executable is required; an executable name that is not a single file name names no
  // file inside the bundle.
  BundleLayout bare;
  bare.identifier.reset();
  bare.executableName = "../escape";
  auto bundle = NSBundle::bundleWithPath(makeBundle(dir.path(), bare).native());
  ASSERT_NE(bundle, nullptr);
  EXPECT_EQ(bundle->bundleIdentifier(), std::nullopt);
  EXPECT_EQ(bundle->executablePath(), std::nullopt);
}

TEST(NSBundle, RefusesWhatIsNotABundle) {
  TemporaryDirectory dir;
  writeFile(dir.path() / "Text.app/Contents/Info.plist", "not a property list");
  writeFile(dir.path() / "Array.app/Contents/Info.plist",
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string></array></plist>");
  std::filesystem::create_directories(dir.path() / "Dir.app/Contents/Info.plist");
  for (const std::string name : {"Missing.app", "Text.app", "Array.app", "Dir.app"}) {
    EXPECT_EQ(NSBundle::bundleWithPath((dir.path() / name).native()), nullptr) << name;
  }
  EXPECT_EQ(NSBundle::bundleWithPath(""), nullptr);
  // The test program itself lives in the build tree, in no bundle.
  EXPECT_EQ(NSBundle::mainBundle(), nullptr);
}

TEST(NSBundle, FindsTheInnermostBundleAroundAnExecutable) {
  const std::vector<std::pair<const char*, std::optional<std::string>>> cases{
      {"/Applications/A.app/Contents/MacOS/A", "/Applications/A.app"},
      {"/x/Outer.app/Contents/Helpers/Inner.app/Contents/MacOS/i", "/x/Outer.app/Contents/Helpers/Inner.app"},
      {"/x/My App.app/", "/x/My App.app"},
      {"relative.app/Contents/MacOS/x", "relative.app"},
      {"/usr/bin/true", std::nullopt},
      // ".app" alone, or ".app" inside a name, is no bundle name.
      {"/x/.app/Contents/MacOS/x", std::nullopt},
      {"/x/A.apple/Contents/MacOS/x", std::nullopt}};
  for (const auto& [executable, bundle] : cases) {
    EXPECT_EQ(NSBundle::bundlePathContaining(executable), bundle) << executable;
  }
}

}  // namespace
}  // namespace tessaly::appkit
