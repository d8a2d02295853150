#include <sys/stat.h>

#include "tessaly/testing/child_process.h"
#include "tessaly/testing/dev_pki_test.h"

namespace {

namespace fs = std::filesystem;
namespace cs = tessaly::testing;

// The suite's authority (trusted through the environment the tool inherits) signs; dev-pki is tested on its own.
class CodesignToolTest : public cs::DevPkiTest {
 protected:
  static cs::RunResult tool(const std::vector<std::string>& arguments) {
    return cs::run(TESSALY_CODESIGN_TOOL, arguments);
  }
  // The agent's bundle, with a resource; and a bare program.
  fs::path bundle() const {
    return cs::makeBundle(work(), {TESSALY_AGENT_EXECUTABLE,
                                   TESSALY_AGENT_IDENTIFIER,
                                   "",
                                   cs::sleeperPath(),
                                   {{"Contents/Resources/a.txt", "a"}},
                                   false});
  }
  fs::path program() const {
    cs::copyExecutable(cs::sleeperPath(), work() / "program");
    return work() / "program";
  }
  static std::string id(const char* name) { return identity(name).native(); }
};

TEST_F(CodesignToolTest, HelpAndUsageErrors) {
  const cs::RunResult help = tool({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char* command : {"dev-pki", "issue", "sign", "verify", "verify-pid", "display", "requirement"}) {
    EXPECT_NE(help.standardOutput.find(command), std::string::npos) << command;
  }
  EXPECT_EQ(tool({"sign", "--help"}).exitCode, 0);
  for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
           {}, {"sign", "target"}, {"frobnicate"}, {"verify", "--requirement", "anchor", "/bin/true"}}) {
    EXPECT_EQ(tool(wrong).exitCode, 2) << ::testing::PrintToString(wrong);
  }
}

TEST_F(CodesignToolTest, DevelopmentAuthorityLayout) {
  const fs::path pki = work() / "pki";
  ASSERT_EQ(tool({"dev-pki", pki.native(), "--team", cs::kTeam.data()}).exitCode, 0);
  for (const char* name : {"developer-id", "app-store", "development", "vendor", "other-team", "browser-google",
                           "browser-mozilla", "browser-brave", "browser-microsoft"}) {
    struct stat info {};
    ASSERT_EQ(::stat((pki / "identities" / name).c_str(), &info), 0) << name;
    EXPECT_EQ(info.st_mode & 077, 0u) << name << " must be private";
  }
  // An existing authority is kept unless replacing is asked for.
  const std::string root = cs::readFile(pki / "anchors" / "root.pem");
  EXPECT_EQ(tool({"dev-pki", pki.native(), "--team", cs::kTeam.data()}).exitCode, 1);
  EXPECT_EQ(cs::readFile(pki / "anchors" / "root.pem"), root);
  EXPECT_EQ(tool({"dev-pki", pki.native(), "--team", cs::kTeam.data(), "--force"}).exitCode, 0);
  EXPECT_NE(cs::readFile(pki / "anchors" / "root.pem"), root);
  EXPECT_EQ(tool({"dev-pki", (work() / "bad").native(), "--team", "not a team"}).exitCode, 1);
}

TEST_F(CodesignToolTest, SignVerifyAndDisplayABundle) {
  const fs::path app = bundle();
  EXPECT_EQ(tool({"verify", app.native()}).exitCode, 1);
  ASSERT_EQ(tool({"sign", "--identity", id("developer-id"), app.native()}).exitCode, 0);
  EXPECT_EQ(tool({"verify", app.native()}).standardOutput, app.native() + ": valid\n");
  EXPECT_NE(tool({"verify", "--requirement", "anchor apple", app.native()}).standardOutput.find("status -67050"),
            std::string::npos);

  const std::string shown = tool({"display", app.native()}).standardOutput;
  for (const std::string line :
       {"Identifier=" TESSALY_AGENT_IDENTIFIER "\n", "TeamIdentifier=" TESSALY_AGENT_TEAM "\n",
        "Authority=CN = Developer ID Application: Tessaly Development (" TESSALY_AGENT_TEAM ")",
        "Authority=CN = Developer ID Certification Authority", "Entitlements=none\n"}) {
    EXPECT_NE(shown.find(line), std::string::npos) << line << shown;
  }
}

TEST_F(CodesignToolTest, BareExecutablesRunningProcessesAndExtraIdentities) {
  ASSERT_EQ(tool({"issue", pki_->path().native(), "example", "--kind", "developer-id", "--common-name",
                  "Developer ID Application: Example (ABCDE12345)", "--team", "ABCDE12345"})
                .exitCode,
            0);
  EXPECT_EQ(tool({"issue", pki_->path().native(), "x", "--kind", "server", "--common-name", "x"}).exitCode, 2);

  const fs::path bare = program();
  cs::ChildProcess unsignedProcess(bare);
  EXPECT_EQ(tool({"verify-pid", std::to_string(unsignedProcess.pid())}).exitCode, 1);
  ASSERT_EQ(tool({"sign", "--identity", id("example"), "--identifier", "com.example.sleeper", bare.native()}).exitCode,
            0);
  cs::ChildProcess signedProcess(bare);
  const std::string pid = std::to_string(signedProcess.pid());
  EXPECT_EQ(tool({"verify-pid", pid, "--requirement", "certificate leaf[subject.OU] = ABCDE12345"}).standardOutput,
            "process " + pid + ": valid and satisfies the requirement\n");
}

// Sealed entitlements are shown, and guarded: rewritten where they are stored, the signature no longer covers them.
TEST_F(CodesignToolTest, EntitlementsAreSealedShownAndGuarded) {
  const fs::path entitlements = work() / "entitlements.plist";
  cs::writeFile(entitlements, R"(<plist version="1.0"><dict>
<key>com.apple.security.app-sandbox</key><true/>
<key>com.apple.security.application-groups</key><array><string>Q7RM2KX9WD.com.tessaly</string></array>
</dict></plist>)");
  const fs::path app = bundle();
  for (const fs::path& target : {app, program()}) {
    SCOPED_TRACE(target.native());
    ASSERT_EQ(tool({"sign", "--identity", id("developer-id"), "--entitlements", entitlements.native(), target.native()})
                  .exitCode,
              0);
    const std::string shown = tool({"display", target.native()}).standardOutput;
    EXPECT_NE(shown.find("Entitlements=2\n"
                         "  com.apple.security.app-sandbox=true\n"
                         "  com.apple.security.application-groups=[\"Q7RM2KX9WD.com.tessaly\"]\n"),
              std::string::npos)
        << shown;
    const fs::path stored = target == app ? app / "Contents/_CodeSignature/CodeDirectory" : target;
    std::string bytes = cs::readFile(stored);
    ASSERT_NE(bytes.find("<true/>"), std::string::npos);
    bytes.replace(bytes.find("<true/>"), 7, "<fals/>");
    cs::writeFile(stored, bytes);
    EXPECT_NE(tool({"verify", target.native()}).standardOutput.find("status -67061"), std::string::npos);
  }
  cs::writeFile(entitlements, "<plist version=\"1.0\"><array><true/></array></plist>");
  cs::RunResult refused =
      tool({"sign", "--identity", id("developer-id"), "--entitlements", entitlements.native(), app.native()});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.standardError.find("must be a dictionary"), std::string::npos) << refused.standardError;
}

// The requirement command shows how a text reads: its canonical form, or where it stops making sense.
TEST_F(CodesignToolTest, RequirementShowsTheCanonicalTextOrWhereItFails) {
  EXPECT_EQ(tool({"requirement", "! (anchor apple generic and certificate 0[subject.OU]=Q7RM2KX9WD)"}).standardOutput,
            "not (anchor apple generic and certificate leaf[subject.OU] = \"Q7RM2KX9WD\")\n");
  cs::RunResult refused = tool({"requirement", "anchor google"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.standardOutput, "");
  EXPECT_NE(refused.standardError.find("at offset 7"), std::string::npos) << refused.standardError;
}

}  // namespace
