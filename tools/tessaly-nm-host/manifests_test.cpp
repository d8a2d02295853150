// Host manifests as the install command writes them and as the host reads them to decide whom it serves.
#include "manifests.h"

#include <gtest/gtest.h>

#include <sstream>

#include "caller.h"
#include "tessaly/testing/files.h"

namespace tessaly::nmhost {
namespace {

namespace fs = std::filesystem;
using tessaly::testing::TemporaryDirectory;
using tessaly::testing::writeFile;

constexpr const char* kChromiumId = "abcdefghijklmnopabcdefghijklmnop";
constexpr const char* kFirefoxId = "helper@example.org";

class ManifestsTest : public ::testing::Test {
 protected:
  ManifestsTest() {
    writeFile(host_, "host");
    writeFile(other_, "other");
  }

  std::vector<ManifestPlace> places(Scope scope, std::vector<std::string> browsers = {}) {
    return manifestPlaces(scope, browsers, roots_);
  }
  bool install(Scope scope, const std::vector<std::string>& browsers, const std::vector<std::string>& ids) {
    std::ostringstream out, errors;
    const bool written = installManifests(places(scope, browsers), ids, host_, out, errors);
    EXPECT_EQ(errors.str(), "");
    return written;
  }
  std::string status(Scope scope, std::vector<std::string> browsers = {}) {
    std::ostringstream out;
    describeManifests(places(scope, browsers), host_, out);
    return out.str();
  }

  TemporaryDirectory scratch_;
  PlaceRoots roots_{scratch_.path() / "home", scratch_.path() / "config", scratch_.path() / "root"};
  fs::path host_ = scratch_.path() / "tessaly-nm-host";
  fs::path other_ = scratch_.path() / "other-host";
};

// Install writes one manifest per place that its browser reads, with the ids of that browser's family, keeps
// what was allowed before, and uninstall removes them again.
TEST_F(ManifestsTest, InstallMergesStatusDescribesUninstallRemoves) {
  ASSERT_TRUE(install(Scope::user, {}, {kChromiumId, kFirefoxId}));
  for (const ManifestPlace& place : places(Scope::user)) {
    std::string why;
    const std::optional<Manifest> manifest = readManifest(place.file(), place.family, why);
    ASSERT_TRUE(manifest.has_value()) << why;
    EXPECT_EQ(manifest->name, "com.tessaly.browser_helper");
    EXPECT_EQ(manifest->path, host_.native());
    EXPECT_EQ(manifest->type, "stdio");
    const std::vector<std::string> expected = {place.family == Family::chromium
                                                   ? std::string("chrome-extension://") + kChromiumId + "/"
                                                   : std::string(kFirefoxId)};
    EXPECT_EQ(manifest->allowed, expected) << place.file();
  }
  EXPECT_TRUE(fs::exists(roots_.configHome / "chromium/NativeMessagingHosts/com.tessaly.browser_helper.json"));
  EXPECT_TRUE(fs::exists(roots_.home / ".mozilla/native-messaging-hosts/com.tessaly.browser_helper.json"));

  // A second install adds to the first; an origin given in full counts as its id.
  ASSERT_TRUE(install(Scope::user, {"chromium"}, {"chrome-extension://pppppppppppppppppppppppppppppppp/"}));
  std::string why;
  const fs::path chromium = places(Scope::user, {"chromium"}).front().file();
  EXPECT_EQ(readManifest(chromium, Family::chromium, why)->allowed,
            (std::vector<std::string>{std::string("chrome-extension://") + kChromiumId + "/",
                                      "chrome-extension://pppppppppppppppppppppppppppppppp/"}));

  const std::string described = status(Scope::user, {"chromium", "firefox"});
  EXPECT_NE(
      described.find("chromium user " + chromium.native() + ": host " + host_.native() + " (this program), allows"),
      std::string::npos)
      << described;
  EXPECT_NE(described.find(std::string("firefox user ") + (roots_.home / ".mozilla").native()), std::string::npos);

  std::ostringstream out, errors;
  ASSERT_TRUE(uninstallManifests(places(Scope::user, {"chromium"}), out, errors));
  EXPECT_EQ(out.str(), "removed " + chromium.native() + "\n");
  EXPECT_NE(status(Scope::user, {"chromium"}).find(": absent"), std::string::npos);
  EXPECT_FALSE(readManifest(places(Scope::user, {"firefox"}).front().file(), Family::firefox, why)->allowed.empty());
}

TEST_F(ManifestsTest, SystemPlacesLieUnderTheGivenRoot) {
  ASSERT_TRUE(install(Scope::system, {"chrome", "firefox"}, {kChromiumId}));
  EXPECT_TRUE(fs::exists(roots_.systemRoot / "etc/opt/chrome/native-messaging-hosts/com.tessaly.browser_helper.json"));
  EXPECT_TRUE(fs::exists(roots_.systemRoot / "usr/lib/mozilla/native-messaging-hosts/com.tessaly.browser_helper.json"));
  EXPECT_THROW(places(Scope::system, {"netscape"}), std::invalid_argument);
}

TEST(ExtensionIds, AreToldApartByTheirForm) {
  EXPECT_EQ(chromiumOrigin(kChromiumId), std::string("chrome-extension://") + kChromiumId + "/");
  const std::vector<std::pair<const char*, bool>> firefoxIds = {// and whether each is one
                                                                {kFirefoxId, true},
                                                                {"{12345678-9abc-def0-1234-56789abcdef0}", true},
                                                                {"a.b-c_d@e.f", true},
                                                                {"no-at-sign", false},
                                                                {"two@at@signs", false},
                                                                {"@", false},
                                                                {"{1234}", false},
                                                                {"sp ace@x", false},
                                                                {"x@", false}};
  for (const auto& [id, firefox] : firefoxIds) EXPECT_EQ(isFirefoxExtensionId(id), firefox) << id;
  for (const char* notChromium : {"abcdefghijklmnopabcdefghijklmnoq", "abcdefghijklmnop", "chrome-extension://x/",
                                  "chrome-extension://abcdefghijklmnopabcdefghijklmnop", kFirefoxId}) {
    EXPECT_FALSE(chromiumOrigin(notChromium)) << notChromium;
  }
}

// Chromium passes the caller's origin; Firefox its manifest's absolute path and the extension's id.
TEST(CallerArguments, AreWhatTheBrowsersPass) {
  const std::string origin = std::string("chrome-extension://") + kChromiumId + "/";
  const std::string manifest = "/home/u/.mozilla/native-messaging-hosts/com.tessaly.browser_helper.json";
  const std::vector<std::pair<std::vector<std::string>, std::optional<Caller>>> cases{
      {{origin}, Caller{Family::chromium, origin, std::nullopt}},
      {{manifest, kFirefoxId}, Caller{Family::firefox, kFirefoxId, manifest}},
      {{}, std::nullopt},
      {{kChromiumId}, std::nullopt},
      {{"chrome-extension://short/"}, std::nullopt},
      {{"relative.json", kFirefoxId}, std::nullopt},
      {{manifest}, std::nullopt},
      {{manifest, "not an id"}, std::nullopt}};
  for (const auto& [arguments, expected] : cases) {
    std::string why;
    const std::optional<Caller> caller = callerFromArguments(arguments, why);
    ASSERT_EQ(caller.has_value(), expected.has_value()) << ::testing::PrintToString(arguments);
    if (!caller) continue;
    EXPECT_EQ(caller->family, expected->family);
    EXPECT_EQ(caller->origin, expected->origin);
    EXPECT_EQ(caller->manifest, expected->manifest);
  }
}

// The host serves a caller only when a manifest of this host, naming this very program, allows it.
TEST_F(ManifestsTest, OnlyAManifestOfThisProgramThatAllowsTheCallerLetsItIn) {
  const std::string origin = std::string("chrome-extension://") + kChromiumId + "/";
  const Caller chromium{Family::chromium, origin, std::nullopt};
  const fs::path profile = scratch_.path() / "profile";
  const fs::path inProfile = profile / "NativeMessagingHosts/com.tessaly.browser_helper.json";
  const std::vector<std::string> browserCommandLine = {"/usr/lib/chromium/chromium",
                                                       "--user-data-dir=" + profile.native()};
  const auto manifest = [&](const std::string& name, const fs::path& path, const std::string& allowed) {
    return R"({"name":")" + name + R"(","path":")" + path.native() + R"(","type":"stdio","allowed_origins":[")" +
           allowed + R"("]})";
  };
  struct Case {
    const char* name;
    std::string text;  // written into the profile's folder; empty: none there
    bool allowed;
    const char* why;
  };
  const std::vector<Case> cases = {
      {"allows the caller", manifest("com.tessaly.browser_helper", host_, origin), true, ""},
      {"allows another extension", manifest("com.tessaly.browser_helper", host_, "chrome-extension://x/"), false,
       "for this program allows it"},
      {"names another program", manifest("com.tessaly.browser_helper", other_, origin), false, "names this program"},
      {"is another host's", manifest("com.example.other", host_, origin), false, "names this program"},
      {"is not JSON", "{\"name\":", false, "names this program"},
      {"is larger than any manifest",
       R"({"description":")" + std::string(100 << 10, ' ') + "\"," +
           manifest("com.tessaly.browser_helper", host_, origin).substr(1),
       false, "names this program"},
      {"is missing", "", false, "names this program"},
  };
  for (const Case& c : cases) {
    fs::remove(inProfile);
    if (!c.text.empty()) writeFile(inProfile, c.text);
    std::string why;
    const bool allowed = callerAllowed(chromium, candidateManifests(chromium, roots_, browserCommandLine), host_, why);
    EXPECT_EQ(allowed, c.allowed) << c.name;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.name << ": " << why;
  }
  // Without --user-data-dir the browser reads its own folders, where install writes.
  fs::remove(inProfile);
  std::string why;
  EXPECT_FALSE(
      callerAllowed(chromium, candidateManifests(chromium, roots_, {"/usr/lib/chromium/chromium"}), host_, why));
  ASSERT_TRUE(install(Scope::user, {"brave"}, {kChromiumId}));
  EXPECT_TRUE(callerAllowed(chromium, candidateManifests(chromium, roots_, {"/usr/lib/chromium/chromium"}), host_, why))
      << why;

  // Firefox names its manifest: that one decides, and its allowed_extensions.
  const fs::path firefoxManifest = roots_.home / ".mozilla/native-messaging-hosts/com.tessaly.browser_helper.json";
  writeFile(firefoxManifest, R"({"name":"com.tessaly.browser_helper","path":")" + host_.native() +
                                 R"(","type":"stdio","allowed_extensions":["helper@example.org"]})");
  const Caller firefox{Family::firefox, kFirefoxId, firefoxManifest};
  EXPECT_TRUE(callerAllowed(firefox, candidateManifests(firefox, roots_, {}), host_, why)) << why;
  const Caller stranger{Family::firefox, "stranger@example.org", firefoxManifest};
  EXPECT_FALSE(callerAllowed(stranger, candidateManifests(stranger, roots_, {}), host_, why));
}

}  // namespace
}  // namespace tessaly::nmhost
