// Host manifests as the install command writes them and as the host reads them to decide whom it serves.
#include "manifests.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "caller.h"
#include "tessaly/testing/files.h"

namespace tessaly::nmhost {
namespace {

namespace fs = std::filesystem;
using tessaly::testing::TemporaryDirectory;

constexpr const char* kChromiumId = "abcdefghijklmnopabcdefghijklmnop";
constexpr const char* kFirefoxId = "helper@example.org";

void write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

class ManifestsTest : public ::testing::Test {
 protected:
  ManifestsTest() {
    roots_.home = fs::path(scratch_.path()) / "home";
    roots_.configHome = fs::path(scratch_.path()) / "config";
    roots_.systemRoot = fs::path(scratch_.path()) / "root";
    host_ = fs::path(scratch_.path()) / "tessaly-nm-host";
    other_ = fs::path(scratch_.path()) / "other-host";
    write(host_, "host");
    write(other_, "other");
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
  PlaceRoots roots_;
  fs::path host_;
  fs::path other_;
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
  EXPECT_NE(described.find("chromium user " + chromium.native() + ": host " + host_.native() + " (this program), allows"),
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
  for (const char* notChromium : {"abcdefghijklmnopabcdefghijklmnoq", "abcdefghijklmnop", "chrome-extension://x/",
                                  "chrome-extension://abcdefghijklmnopabcdefghijklmnop", kFirefoxId}) {
    EXPECT_FALSE(chromiumOrigin(notChromium)) << notChromium;
  }
  for (const char* firefox : {kFirefoxId, "{12345678-9abc-def0-1234-56789abcdef0}", "a.b-c_d@e.f"}) {
    EXPECT_TRUE(isFirefoxExtensionId(firefox)) << firefox;
  }
  for (const char* notFirefox : {"no-at-sign", "two@at@signs", "@", "{1234}", "sp ace@x", "x@"}) {
    EXPECT_FALSE(isFirefoxExtensionId(notFirefox)) << notFirefox;
  }
}

TEST(CallerArguments, AreWhatTheBrowsersPass) {
  std::string why;
  const std::vector<std::string> chromium = {std::string("chrome-extension://") + kChromiumId + "/"};
  const std::optional<Caller> fromChromium = callerFromArguments(chromium, why);
  ASSERT_TRUE(fromChromium);
  EXPECT_EQ(fromChromium->family, Family::chromium);
  EXPECT_EQ(fromChromium->origin, chromium[0]);
  const std::vector<std::string> firefox = {"/home/u/.mozilla/native-messaging-hosts/com.tessaly.browser_helper.json",
                                            kFirefoxId};
  const std::optional<Caller> fromFirefox = callerFromArguments(firefox, why);
  ASSERT_TRUE(fromFirefox);
  EXPECT_EQ(fromFirefox->family, Family::firefox);
  EXPECT_EQ(fromFirefox->origin, kFirefoxId);
  EXPECT_EQ(fromFirefox->manifest, firefox[0]);
  for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
           {}, {kChromiumId}, {"chrome-extension://short/"}, {"relative.json", kFirefoxId}, {firefox[0]},
           {firefox[0], "not an id"}}) {
    EXPECT_FALSE(callerFromArguments(wrong, why)) << ::testing::PrintToString(wrong);
  }
}

// The host serves a caller only when a manifest of this host, naming this very program, allows it.
TEST_F(ManifestsTest, OnlyAManifestOfThisProgramThatAllowsTheCallerLetsItIn) {
  const std::string origin = std::string("chrome-extension://") + kChromiumId + "/";
  const Caller chromium{Family::chromium, origin, std::nullopt};
  const fs::path profile = fs::path(scratch_.path()) / "profile";
  const fs::path inProfile = profile / "NativeMessagingHosts/com.tessaly.browser_helper.json";
  const std::vector<std::string> browserCommandLine = {"/usr/lib/chromium/chromium", "--user-data-dir=" + profile.native()};
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
      {"names another program", manifest("com.tessaly.browser_helper", other_, origin), false,
       "names this program"},
      {"is another host's", manifest("com.example.other", host_, origin), false, "names this program"},
      {"is not JSON", "{\"name\":", false, "names this program"},
      {"is larger than any manifest",
       R"({"description":")" + std::string(100 << 10, ' ') + "\"," + manifest("com.tessaly.browser_helper", host_, origin).substr(1),
       false, "names this program"},
      {"is missing", "", false, "names this program"},
  };
  for (const Case& c : cases) {
    fs::remove(inProfile);
    if (!c.text.empty()) write(inProfile, c.text);
    std::string why;
    const bool allowed =
        callerAllowed(chromium, candidateManifests(chromium, roots_, browserCommandLine), host_, why);
    EXPECT_EQ(allowed, c.allowed) << c.name;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.name << ": " << why;
  }
  // Without --user-data-dir the browser reads its own folders, where install writes.
  fs::remove(inProfile);
  std::string why;
  EXPECT_FALSE(callerAllowed(chromium, candidateManifests(chromium, roots_, {"/usr/lib/chromium/chromium"}), host_, why));
  ASSERT_TRUE(install(Scope::user, {"brave"}, {kChromiumId}));
  EXPECT_TRUE(callerAllowed(chromium, candidateManifests(chromium, roots_, {"/usr/lib/chromium/chromium"}), host_, why))
      << why;

  // Firefox names its manifest: that one decides, and its allowed_extensions.
  const fs::path firefoxManifest = roots_.home / ".mozilla/native-messaging-hosts/com.tessaly.browser_helper.json";
  write(firefoxManifest, R"({"name":"com.tessaly.browser_helper","path":")" + host_.native() +
                             R"(","type":"stdio","allowed_extensions":["helper@example.org"]})");
  const Caller firefox{Family::firefox, kFirefoxId, firefoxManifest};
  EXPECT_TRUE(callerAllowed(firefox, candidateManifests(firefox, roots_, {}), host_, why)) << why;
  const Caller stranger{Family::firefox, "stranger@example.org", firefoxManifest};
  EXPECT_FALSE(callerAllowed(stranger, candidateManifests(stranger, roots_, {}), host_, why));
}

}  // namespace
}  // namespace tessaly::nmhost
