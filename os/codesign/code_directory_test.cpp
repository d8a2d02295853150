#include "tessaly/codesign/code_directory.h"

#include <gtest/gtest.h>

namespace tessaly::codesign {
namespace {

Sha256 digestOf(std::uint8_t fill) {
  Sha256 digest{};
  digest.fill(fill);
  return digest;
}

// (Bare executables' directories are read back by every signature check of a bare program.)
TEST(CodeDirectory, RoundTripsAwkwardNames) {
  const CodeDirectory bundle{
      .identifier = "Q7RM2KX9WD.com.tessaly.browser-helper",
      .teamIdentifier = "Q7RM2KX9WD",
      .format = CodeFormat::bundle,
      .executablePath = "Contents/MacOS/Tessaly Browser Helper",
      .executableSize = 123456,
      .executableHash = digestOf(0xab),
      .entitlements = {},
      .resources = {{"Contents/Info.plist", false, 512, digestOf(0x01), ""},
                    {"Contents/Resources/current", true, 0, {}, "v1"},
                    {"Contents/Resources/odd name%\n\x7f\xc3\xa9", false, 0, digestOf(0x02), ""}}};
  const std::string text = serializeCodeDirectory(bundle);
  EXPECT_NE(text.find("Tessaly%20Browser%20Helper"), std::string::npos);
  EXPECT_NE(text.find("odd%20name%25%0A%7F\xc3\xa9"), std::string::npos);
  auto parsed = parseCodeDirectory(text);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(*parsed, bundle);
}

// Each text differs from a valid directory in one way that must be refused.
TEST(CodeDirectory, RefusesEveryDeviationFromTheCanonicalForm) {
  const std::string hash(64, 'a');
  const std::string head =
      "tessaly-code-directory 1\nidentifier x\nformat bundle\nexecutable " + hash + " 1 Contents/MacOS/x\n";
  ASSERT_TRUE(parseCodeDirectory(head + "file " + hash + " 2 a\nend\n"));

  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty", ""},
      {"no end", head},
      {"no final line feed", head + "end"},
      {"text after end", head + "end\nfile " + hash + " 2 a\n"},
      {"wrong header", "tessaly-code-directory 2\nidentifier x\nformat bundle\nexecutable " + hash + " 1 x\nend\n"},
      {"empty identifier",
       "tessaly-code-directory 1\nidentifier \nformat executable\nexecutable " + hash + " 1\nend\n"},
      {"team after format",
       "tessaly-code-directory 1\nidentifier x\nformat executable\nteam T\nexecutable " + hash + " 1\nend\n"},
      {"unknown format", "tessaly-code-directory 1\nidentifier x\nformat dylib\nexecutable " + hash + " 1\nend\n"},
      {"bare with path",
       "tessaly-code-directory 1\nidentifier x\nformat executable\nexecutable " + hash + " 1 x\nend\n"},
      {"bare with resources", "tessaly-code-directory 1\nidentifier x\nformat executable\nexecutable " + hash +
                                  " 1\nfile " + hash + " 2 a\nend\n"},
      {"upper-case digest", head + "file " + std::string(64, 'A') + " 2 a\nend\n"},
      {"short digest", head + "file " + std::string(63, 'a') + " 2 a\nend\n"},
      {"signed size", head + "file " + hash + " +2 a\nend\n"},
      {"leading zero size", head + "file " + hash + " 02 a\nend\n"},
      {"unsorted", head + "file " + hash + " 2 b\nfile " + hash + " 2 a\nend\n"},
      {"duplicate", head + "file " + hash + " 2 a\nlink t a\nend\n"},
      {"parent path", head + "file " + hash + " 2 ../a\nend\n"},
      {"absolute path", head + "file " + hash + " 2 /a\nend\n"},
      {"empty component", head + "file " + hash + " 2 a//b\nend\n"},
      {"dot component", head + "file " + hash + " 2 a/./b\nend\n"},
      {"executable twice", head + "file " + hash + " 2 Contents/MacOS/x\nend\n"},
      {"needless escape", head + "file " + hash + " 2 %61\nend\n"},
      {"lower-case escape", head + "file " + hash + " 2 a%2a\nend\n"},
      {"cut escape", head + "file " + hash + " 2 a%2\nend\n"},
      {"double space", head + "file " + hash + "  2 a\nend\n"},
      {"unknown record", head + "blob " + hash + " 2 a\nend\n"},
      {"carriage return", head + "end\r\n"},
  };
  for (const auto& [name, text] : cases) EXPECT_FALSE(parseCodeDirectory(text)) << name;
}

TEST(CodeDirectory, SafeRelativePaths) {
  for (const char* good : {"a", "a/b", "Contents/MacOS/x y", "..a", "a.."})
    EXPECT_TRUE(isSafeRelativePath(good)) << good;
  for (const char* bad : {"", "/a", "a/", "a//b", ".", "..", "a/../b", "./a"})
    EXPECT_FALSE(isSafeRelativePath(bad)) << bad;
  EXPECT_FALSE(isSafeRelativePath(std::string_view("a\0b", 3)));
}

}  // namespace
}  // namespace tessaly::codesign
