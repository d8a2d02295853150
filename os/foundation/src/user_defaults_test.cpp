#include "tessaly/foundation/user_defaults.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "tessaly/testing/files.h"

namespace tessaly::foundation {
namespace {

namespace fs = std::filesystem;

class UserDefaultsTest : public ::testing::Test {
 protected:
  tessaly::testing::TemporaryDirectory scratch;
  const fs::path& folder = scratch.path();
};

TEST_F(UserDefaultsTest, ValuesWrittenByOneInstanceAreReadByAnother) {
  const fs::path file = folder / "nested" / "Defaults.plist";
  UserDefaults writer(file);
  PropertyDictionary state{{"evaluatedPolicyDomainState", PropertyValue(Bytes{0, 1, 255})},
                           {"count", PropertyValue(std::int64_t{-5})},
                           {"ratio", PropertyValue(0.25)},
                           {"names", PropertyValue(PropertyArray{PropertyValue("a"), PropertyValue(true)})}};
  ASSERT_TRUE(writer.setValue(PropertyValue(state), "Key"));
  ASSERT_TRUE(writer.setValue(PropertyValue("other"), "Other"));

  UserDefaults reader(file);
  EXPECT_EQ(reader.objectForKey("Key"), PropertyValue(state));

  ASSERT_TRUE(writer.setValue(std::nullopt, "Key"));
  EXPECT_FALSE(reader.objectForKey("Key"));
  EXPECT_EQ(reader.objectForKey("Other"), PropertyValue("other"));
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::group_all, fs::perms::none);
}

TEST_F(UserDefaultsTest, UnreadableOrForeignFilesReadAsEmptyAndNeverBreakAWrite) {
  const fs::path file = folder / "Defaults.plist";
  std::ofstream(file) << "this is not a property list";
  UserDefaults defaults(file);
  EXPECT_FALSE(defaults.objectForKey("Key"));
  EXPECT_TRUE(defaults.setValue(PropertyValue("fresh"), "Key"));
  EXPECT_EQ(defaults.objectForKey("Key"), PropertyValue("fresh"));

  // A property list whose root is not a dictionary holds no defaults.
  std::ofstream(file, std::ios::trunc) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                          "<plist version=\"1.0\"><array><string>x</string></array></plist>\n";
  EXPECT_TRUE(defaults.dictionaryRepresentation().empty());

  // One written by another program in XML form is read.
  std::ofstream(file, std::ios::trunc)
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>Key</key>"
         "<dict><key>evaluatedPolicyDomainState</key><data>AAEC</data></dict></dict></plist>\n";
  EXPECT_EQ(defaults.objectForKey("Key"),
            PropertyValue(PropertyDictionary{{"evaluatedPolicyDomainState", PropertyValue(Bytes{0, 1, 2})}}));

  // A folder where the file should be can be neither read nor replaced.
  UserDefaults blocked(folder);
  EXPECT_FALSE(blocked.objectForKey("Key"));
  EXPECT_FALSE(blocked.setValue(PropertyValue("x"), "Key"));
  EXPECT_TRUE(fs::is_directory(folder));

  // Texts with NUL cannot be written as a property list; the file is left as it was.
  EXPECT_FALSE(defaults.setValue(PropertyValue(std::string("a\0b", 3)), "Key"));
  EXPECT_TRUE(defaults.objectForKey("Key"));
}

TEST_F(UserDefaultsTest, StandardDefaultsLiveInTheUsersConfigFolder) {
  ::setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
  EXPECT_EQ(UserDefaults::standard().file(), folder / "tessaly" / "UserDefaults.plist");
}

}  // namespace
}  // namespace tessaly::foundation
