#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tessaly/testing/child_process.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/signed_peers.h"

namespace {

namespace fs = std::filesystem;
namespace cs = tessaly::testing;

class CodesignToolTest : public ::testing::Test {
 protected:
  cs::RunResult tool(const std::vector<std::string>& arguments) {
    return cs::run(TESSALY_CODESIGN_TOOL, arguments, {"TESSALY_TRUST_ANCHORS=" + (pki() / "anchors").native()});
  }
  fs::path pki() const { return work_.path() / "pki"; }
  std::string identity(const char* name) const { return (pki() / "identities" / name).native(); }

  fs::path bundle() {
    cs::BundleLayout layout;
    layout.name = "Tessaly Browser Helper";
    layout.identifier = "Q7RM2KX9WD.com.tessaly.browser-helper";
    layout.executable = cs::sleeperPath();
    layout.files = {{"Contents/Resources/a.txt", "a"}};
    return cs::makeBundle(work_.path(), layout);
  }

  cs::TemporaryDirectory work_;
};

TEST_F(CodesignToolTest, HelpAndUsageErrors) {
  cs::RunResult help = tool({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char* command : {"dev-pki", "issue", "sign", "verify", "verify-pid", "display", "requirement"}) {
    EXPECT_NE(help.standardOutput.find(command), std::string::npos) << command;
  }
  EXPECT_EQ(tool({"sign", "--help"}).exitCode, 0);
  EXPECT_EQ(tool({}).exitCode, 2);
  EXPECT_EQ(tool({"sign", "target"}).exitCode, 2);  // no identity
  EXPECT_EQ(tool({"frobnicate"}).exitCode, 2);
  EXPECT_EQ(tool({"verify", "--requirement", "anchor", "/bin/true"}).exitCode, 2);
}

TEST_F(CodesignToolTest, DevelopmentAuthorityLayout) {
  ASSERT_EQ(tool({"dev-pki", pki().native(), "--team", "Q7RM2KX9WD"}).exitCode, 0);
  EXPECT_TRUE(fs::is_regular_file(pki() / "anchors" / "root.pem"));
  for (const char* name : {"developer-id", "app-store", "development", "vendor", "other-team", "browser-google",
                           "browser-mozilla", "browser-brave", "browser-microsoft"}) {
    struct stat info {};
    ASSERT_EQ(::stat(identity(name).c_str(), &info), 0) << name;
    EXPECT_EQ(info.st_mode & 077, 0u) << name << " must be private";
  }
  // An existing authority is kept unless replacing is asked for.
  const std::string root = cs::readFile(pki() / "anchors" / "root.pem");
  EXPECT_EQ(tool({"dev-pki", pki().native(), "--team", "Q7RM2KX9WD"}).exitCode, 1);
  EXPECT_EQ(cs::readFile(pki() / "anchors" / "root.pem"), root);
  EXPECT_EQ(tool({"dev-pki", pki().native(), "--team", "Q7RM2KX9WD", "--force"}).exitCode, 0);
  EXPECT_NE(cs::readFile(pki() / "anchors" / "root.pem"), root);
  EXPECT_EQ(tool({"dev-pki", (work_.path() / "bad").native(), "--team", "not a team"}).exitCode, 1);
}

TEST_F(CodesignToolTest, SignVerifyAndDisplayABundle) {
  ASSERT_EQ(tool({"dev-pki", pki().native(), "--team", "Q7RM2KX9WD"}).exitCode, 0);
  const fs::path app = bundle();
  EXPECT_EQ(tool({"verify", app.native()}).exitCode, 1);
  ASSERT_EQ(tool({"sign", "--identity", identity("developer-id"), app.native()}).exitCode, 0);

  cs::RunResult verified = tool({"verify", app.native()});
  EXPECT_EQ(verified.exitCode, 0);
  EXPECT_EQ(verified.standardOutput, app.native() + ": valid\n");
  EXPECT_EQ(tool({"verify", "--requirement",
                  "anchor apple generic and identifier \"Q7RM2KX9WD.com.tessaly.browser-helper\"", app.native()})
                .exitCode,
            0);
  cs::RunResult unmet = tool({"verify", "--requirement", "anchor apple", app.native()});
  EXPECT_EQ(unmet.exitCode, 1);
  EXPECT_NE(unmet.standardOutput.find("status -67050"), std::string::npos);

  cs::RunResult shown = tool({"display", app.native()});
  EXPECT_EQ(shown.exitCode, 0);
  EXPECT_NE(shown.standardOutput.find("Identifier=Q7RM2KX9WD.com.tessaly.browser-helper\n"), std::string::npos);
  EXPECT_NE(shown.standardOutput.find("TeamIdentifier=Q7RM2KX9WD\n"), std::string::npos);
  EXPECT_NE(shown.standardOutput.find("Authority=CN = Developer ID Application: Tessaly Development (Q7RM2KX9WD)"),
            std::string::npos);
  EXPECT_NE(shown.standardOutput.find("Authority=CN = Developer ID Certification Authority"), std::string::npos);

  cs::writeFile(app / "Contents/Resources/a.txt", "b");
  cs::RunResult tampered = tool({"verify", app.native()});
  EXPECT_EQ(tampered.exitCode, 1);
  EXPECT_NE(tampered.standardOutput.find("status -67054"), std::string::npos);
}

TEST_F(CodesignToolTest, BareExecutablesRunningProcessesAndExtraIdentities) {
  ASSERT_EQ(tool({"dev-pki", pki().native(), "--team", "Q7RM2KX9WD"}).exitCode, 0);
  ASSERT_EQ(tool({"issue", pki().native(), "example", "--kind", "developer-id", "--common-name",
                  "Developer ID Application: Example (ABCDE12345)", "--team", "ABCDE12345"})
                .exitCode,
            0);
  EXPECT_EQ(tool({"issue", pki().native(), "x", "--kind", "server", "--common-name", "x"}).exitCode, 2);

  const fs::path program = work_.path() / "sleeper";
  cs::copyExecutable(cs::sleeperPath(), program);
  cs::ChildProcess unsignedProcess(program);
  EXPECT_EQ(tool({"verify-pid", std::to_string(unsignedProcess.pid())}).exitCode, 1);

  ASSERT_EQ(tool({"sign", "--identity", identity("example"), "--identifier", "com.example.sleeper", program.native()})
                .exitCode,
            0);
  EXPECT_NE(tool({"display", program.native()}).standardOutput.find("TeamIdentifier=ABCDE12345\n"), std::string::npos);
  cs::ChildProcess signedProcess(program);
  const std::string pid = std::to_string(signedProcess.pid());
  cs::RunResult running = tool({"verify-pid", pid, "--requirement", "certificate leaf[subject.OU] = ABCDE12345"});
  EXPECT_EQ(running.exitCode, 0);
  EXPECT_EQ(running.standardOutput, "process " + pid + ": valid and satisfies the requirement\n");
  EXPECT_EQ(tool({"verify-pid", "0"}).exitCode, 1);
}

constexpr const char* kEntitlements = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>com.apple.security.app-sandbox</key><true/>
<key>com.apple.security.application-groups</key><array><string>Q7RM2KX9WD.com.tessaly</string></array>
</dict></plist>
)";

TEST_F(CodesignToolTest, EntitlementsAreSealedShownAndGuarded) {
  ASSERT_EQ(tool({"dev-pki", pki().native(), "--team", "Q7RM2KX9WD"}).exitCode, 0);
  const fs::path entitlements = work_.path() / "entitlements.plist";
  cs::writeFile(entitlements, kEntitlements);
  const fs::path program = work_.path() / "tool";
  cs::copyExecutable(cs::sleeperPath(), program);
  const fs::path app = bundle();
  for (const fs::path& target : {app, program}) {
    SCOPED_TRACE(target.native());
    ASSERT_EQ(tool({"sign", "--identity", identity("developer-id"), "--identifier", "com.example.entitled",
                    "--entitlements", entitlements.native(), target.native()})
                  .exitCode,
              0);
    EXPECT_EQ(tool({"verify", target.native()}).exitCode, 0);
    const std::string shown = tool({"display", target.native()}).standardOutput;
    EXPECT_NE(shown.find("Entitlements=2\n"
                         "  com.apple.security.app-sandbox=true\n"
                         "  com.apple.security.application-groups=[\"Q7RM2KX9WD.com.tessaly\"]\n"),
              std::string::npos)
        << shown;

    // The entitlements rewritten where they are stored: the signature no longer covers them.
    const fs::path stored = target == app ? app / "Contents/_CodeSignature/CodeDirectory" : program;
    std::string bytes = cs::readFile(stored);
    const std::size_t at = bytes.find("<true/>");
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at, 7, "<fals/>");
    cs::writeFile(stored, bytes);
    cs::RunResult altered = tool({"verify", target.native()});
    EXPECT_EQ(altered.exitCode, 1);
    EXPECT_NE(altered.standardOutput.find("status -67061"), std::string::npos) << altered.standardOutput;
  }

  // Without entitlements, display says so; entitlements that are not a dictionary are refused.
  ASSERT_EQ(tool({"sign", "--identity", identity("developer-id"), app.native()}).exitCode, 0);
  EXPECT_NE(tool({"display", app.native()}).standardOutput.find("Entitlements=none\n"), std::string::npos);
  cs::writeFile(entitlements, "<plist version=\"1.0\"><array><true/></array></plist>");
  cs::RunResult refused =
      tool({"sign", "--identity", identity("developer-id"), "--entitlements", entitlements.native(), app.native()});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.standardError.find("must be a dictionary"), std::string::npos) << refused.standardError;
}

// The requirement command shows how a text reads: its canonical form, or where it stops making sense.
TEST_F(CodesignToolTest, RequirementShowsTheCanonicalTextOrWhereItFails) {
  cs::RunResult shown = tool({"requirement", "! (anchor apple generic and certificate 0[subject.OU]=Q7RM2KX9WD)"});
  EXPECT_EQ(shown.exitCode, 0) << shown.standardError;
  EXPECT_EQ(shown.standardOutput,
            "not (anchor apple generic and certificate leaf[subject.OU] = \"Q7RM2KX9WD\")\n");
  cs::RunResult refused = tool({"requirement", "anchor google"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.standardOutput, "");
  EXPECT_NE(refused.standardError.find("at offset 7"), std::string::npos) << refused.standardError;
}

}  // namespace
