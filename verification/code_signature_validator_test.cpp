#include "tessaly/verification/code_signature_validator.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "tessaly/testing/child_process.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/signed_peers.h"
#include "tessaly/verification/code_signature.h"
#include "tessaly/verification/code_signing_steps.h"

namespace tessaly::verification {
namespace {

namespace fs = std::filesystem;
namespace cs = tessaly::testing;

constexpr const char* kAgentIdentifier = "Q7RM2KX9WD.com.tessaly.browser-helper";

// What one run of the probe said: its verdict and its log lines.
struct Verdict {
  std::string answer;
  std::vector<std::string> log;
};

// Expected log lines; a line ending in '*' matches any line that starts with the rest.
void expectLog(const std::vector<std::string>& actual, const std::vector<std::string>& expected) {
  ASSERT_EQ(actual.size(), expected.size()) << ::testing::PrintToString(actual);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const std::string& want = expected[i];
    if (!want.empty() && want.back() == '*') {
      EXPECT_EQ(actual[i].rfind(want.substr(0, want.size() - 1), 0), 0u) << "line " << i << ": " << actual[i];
    } else {
      EXPECT_EQ(actual[i], want) << "line " << i;
    }
  }
}

class CodeSignatureValidatorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    shared_ = new cs::TemporaryDirectory();
    cs::makeDevPki(pki());
    // The agent: a bundle signed with the team's Developer ID, and the same program unsigned.
    cs::BundleLayout agent;
    agent.name = "Tessaly Browser Helper";
    agent.identifier = kAgentIdentifier;
    agent.executable = TESSALY_VALIDATOR_PROBE;
    signedAgent_ = cs::makeBundle(shared_->path(), agent) / "Contents/MacOS/Tessaly Browser Helper";
    cs::sign(shared_->path() / "Tessaly Browser Helper.app", identity("developer-id"));
    unsignedAgent_ = shared_->path() / "unsigned-agent";
    cs::copyExecutable(TESSALY_VALIDATOR_PROBE, unsignedAgent_);
  }
  static void TearDownTestSuite() {
    delete shared_;
    shared_ = nullptr;
  }

  static fs::path pki() { return shared_->path() / "pki"; }
  static fs::path identity(const std::string& name) { return pki() / "identities" / name; }

  static Verdict ask(const fs::path& agent, const std::string& mode, const std::string& argument) {
    cs::RunResult result = cs::run(agent, {mode, argument},
                                   {"TESSALY_LOG=stderr", "TESSALY_TRUST_ANCHORS=" + (pki() / "anchors").native()});
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    std::vector<std::string> answer = cs::lines(result.standardOutput);
    return Verdict{answer.empty() ? "" : answer.front(), cs::logMessages(result.standardError)};
  }

  // A bundle around the sleeper, signed (or not) as `identifier`.
  fs::path peerBundle(const std::string& name, const std::string& identifier, const char* identityName) {
    cs::BundleLayout layout;
    layout.name = name;
    layout.identifier = identifier;
    layout.executable = cs::sleeperPath();
    layout.files = {{"Contents/Resources/en.lproj/strings", "hello"}};
    fs::path bundle = cs::makeBundle(work_.path(), layout);
    if (identityName != nullptr) cs::sign(bundle, identity(identityName));
    return bundle;
  }

  fs::path peerExecutable(const std::string& name, const std::string& identifier, const char* identityName) {
    return peerBundle(name, identifier, identityName) / "Contents/MacOS" / name;
  }

  inline static cs::TemporaryDirectory* shared_ = nullptr;
  inline static fs::path signedAgent_;
  inline static fs::path unsignedAgent_;
  cs::TemporaryDirectory work_;
};

TEST_F(CodeSignatureValidatorTest, PeerOfTheSameTeamIsAccepted) {
  for (const char* kind : {"developer-id", "app-store"}) {
    cs::ChildProcess peer(peerExecutable("Desktop", "com.tessaly.desktop", kind));
    const std::string pid = std::to_string(peer.pid());
    Verdict verdict = ask(signedAgent_, "process", pid);
    EXPECT_EQ(verdict.answer, "true") << kind;
    expectLog(verdict.log, {
                               "Will validate remote process " + pid,
                               "Successfully grabbed code signature for " + pid,
                               "Successfully created requirement",
                               "Verify client requirement succeeded",
                               "Verify by Apple Cert: true",
                               "Successfully grabbed code signature information. Dictionary has *",
                               "Successfully grabbed code signature for ourselves",
                               "Successfully grabbed code signature information. Dictionary has *",
                               "Code signature team id of client == ourselves: true",
                           });
  }
}

TEST_F(CodeSignatureValidatorTest, PeerOfAnotherTeamIsRefusedAfterComparingTeams) {
  cs::ChildProcess peer(peerExecutable("Other", "com.other.app", "other-team"));
  Verdict verdict = ask(signedAgent_, "process", std::to_string(peer.pid()));
  EXPECT_EQ(verdict.answer, "false");
  ASSERT_FALSE(verdict.log.empty());
  EXPECT_EQ(verdict.log.back(), "Code signature team id of client == ourselves: false");
}

TEST_F(CodeSignatureValidatorTest, DevelopmentCertificateFailsTheCertificateCheckBeforeTeamsAreCompared) {
  cs::ChildProcess peer(peerExecutable("Dev", "com.tessaly.desktop", "development"));
  const std::string pid = std::to_string(peer.pid());
  Verdict verdict = ask(signedAgent_, "process", pid);
  EXPECT_EQ(verdict.answer, "false");
  expectLog(verdict.log, {
                             "Will validate remote process " + pid,
                             "Successfully grabbed code signature for " + pid,
                             "Successfully created requirement",
                             "Verify client requirement failed - status -67050",
                             "Verify by Apple Cert: false",
                             "Failed to grab code signature information about the client.",
                         });
}

TEST_F(CodeSignatureValidatorTest, UnsignedPeersAndMissingProcessesAreRefused) {
  cs::ChildProcess unsignedPeer(peerExecutable("Plain", "com.tessaly.desktop", nullptr));
  Verdict verdict = ask(signedAgent_, "process", std::to_string(unsignedPeer.pid()));
  EXPECT_EQ(verdict.answer, "false");
  ASSERT_GE(verdict.log.size(), 4u);
  EXPECT_EQ(verdict.log[3], "Verify client requirement failed - status -67062");

  pid_t gone = -1;
  {
    cs::ChildProcess child(cs::sleeperPath());
    gone = child.pid();
  }
  const std::string pid = std::to_string(gone);
  verdict = ask(signedAgent_, "process", pid);
  EXPECT_EQ(verdict.answer, "false");
  expectLog(verdict.log, {
                             "Will validate remote process " + pid,
                             "Failed to grab code signature for " + pid + " - status -67065",
                             "Couldn't find any running application with " + pid +
                                 " pid, or failed to get its code signature",
                         });
}

TEST_F(CodeSignatureValidatorTest, UnsignedAgentAcceptsNobody) {
  cs::ChildProcess peer(peerExecutable("Desktop", "com.tessaly.desktop", "developer-id"));
  Verdict verdict = ask(unsignedAgent_, "process", std::to_string(peer.pid()));
  EXPECT_EQ(verdict.answer, "false");
  ASSERT_FALSE(verdict.log.empty());
  EXPECT_EQ(verdict.log.back(), "Failed to grab code signature information about ourselves.");
}

TEST_F(CodeSignatureValidatorTest, PeerChangedOnDiskWhileRunningIsRefused) {
  const fs::path bundle = peerBundle("Desktop", "com.tessaly.desktop", "developer-id");
  const fs::path program = bundle / "Contents/MacOS/Desktop";
  cs::ChildProcess peer(program);
  ASSERT_EQ(ask(signedAgent_, "process", std::to_string(peer.pid())).answer, "true");
  const fs::path swapped = work_.path() / "swapped";
  cs::copyExecutable(program, swapped);
  fs::rename(swapped, program);
  Verdict verdict = ask(signedAgent_, "process", std::to_string(peer.pid()));
  EXPECT_EQ(verdict.answer, "false");
  ASSERT_GE(verdict.log.size(), 4u);
  EXPECT_EQ(verdict.log[3], "Verify client requirement failed - status -67034");
}

TEST_F(CodeSignatureValidatorTest, CodeOnDiskGetsEachOfTheFourResults) {
  const fs::path sameTeam = peerBundle("Same", "com.tessaly.desktop", "developer-id");
  const fs::path sameTeamStore = peerBundle("Store", "com.tessaly.desktop", "app-store");
  const fs::path otherTeam = peerBundle("Other", "com.other.app", "other-team");
  const fs::path development = peerBundle("Dev", "com.tessaly.desktop", "development");
  const fs::path unsignedBundle = peerBundle("Plain", "com.tessaly.desktop", nullptr);
  const fs::path modified = peerBundle("Modified", "com.tessaly.desktop", "developer-id");
  cs::writeFile(modified / "Contents/Resources/en.lproj/strings", "jello");
  const fs::path noPlist = peerBundle("NoPlist", "com.tessaly.desktop", "developer-id");
  fs::remove(noPlist / "Contents/Info.plist");

  const std::vector<std::pair<fs::path, std::string>> cases = {
      {sameTeam, "4"},         {sameTeamStore, "4"},     {otherTeam, "2"},      {development, "2"},
      {unsignedBundle, "1"},   {modified, "1"},          {noPlist, "3"},        {work_.path() / "absent.app", "3"},
  };
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(ask(signedAgent_, "file", path.native()).answer, expected) << path;
  }
  // Without a team of its own, the agent finds no bundle of its team.
  EXPECT_EQ(ask(unsignedAgent_, "file", sameTeam.native()).answer, "2");
}

TEST_F(CodeSignatureValidatorTest, CodeOnDiskLogsEveryStep) {
  const fs::path bundle = peerBundle("Same", "com.tessaly.desktop", "developer-id");
  expectLog(ask(signedAgent_, "file", bundle.native()).log,
            {
                "Successfully grabbed code signature for " + bundle.native(),
                "Passed static code check",
                "Successfully created requirement",
                "Verify client requirement succeeded",
                "Verify by Apple Cert: true",
                "Successfully grabbed code signature information. Dictionary has *",
                "Successfully grabbed code signature for ourselves",
                "Successfully grabbed code signature information. Dictionary has *",
                "Code signature team id of client == ourselves: true",
                "Successful codesign validation",
            });
  const fs::path unsignedBundle = peerBundle("Plain", "com.tessaly.desktop", nullptr);
  expectLog(ask(signedAgent_, "file", unsignedBundle.native()).log,
            {
                "Successfully grabbed code signature for " + unsignedBundle.native(),
                "Failed to validate static code - status -67062",
                "failed codesign validation: invalid static code",
            });
  const fs::path absent = work_.path() / "absent.app";
  expectLog(ask(signedAgent_, "file", absent.native()).log,
            {
                "Failed to grab code signature for " + absent.native() + " - status -67068",
                "failed codesign validation: could not get code signature",
            });
}

TEST_F(CodeSignatureValidatorTest, BrowsersAreRecognisedByTheirMakersSignatures) {
  struct Browser {
    const char* name;
    const char* identifier;
    const char* identity;
    int failuresBeforeSuccess;  // -1: never recognised
  };
  const Browser browsers[] = {
      {"Safari", "com.apple.Safari", "vendor", 0},
      {"Chrome", "com.google.Chrome", "browser-google", 1},
      {"Canary", "com.google.Chrome.canary", "browser-google", 2},
      {"Firefox", "org.mozilla.firefox", "browser-mozilla", 2},
      {"Preview", "com.apple.SafariTechnologyPreview", "vendor", 2},
      {"WebKit", "com.apple.SafariForWebKitDevelopment", "vendor", 2},
      {"Brave", "com.brave.Browser", "browser-brave", 2},
      {"Edge", "com.microsoft.edgemac", "browser-microsoft", 2},
      {"Resigned", "com.google.Chrome", "developer-id", -1},
      {"Swapped", "org.mozilla.firefox", "browser-google", -1},
      {"Chromium", "org.chromium.Chromium", "development", -1},
      {"FakeSafari", "com.apple.Safari", "developer-id", -1},
  };
  for (const Browser& browser : browsers) {
    cs::ChildProcess process(peerExecutable(browser.name, browser.identifier, browser.identity));
    const std::string pid = std::to_string(process.pid());
    Verdict verdict = ask(signedAgent_, "browser", pid);
    EXPECT_EQ(verdict.answer, browser.failuresBeforeSuccess >= 0 ? "true" : "false") << browser.name;
    std::vector<std::string> expected = {"Will validate remote browser " + pid,
                                         "Successfully grabbed code signature for " + pid};
    const int failures = browser.failuresBeforeSuccess >= 0 ? browser.failuresBeforeSuccess : 3;
    for (int i = 0; i < failures; ++i) {
      expected.push_back("Successfully created requirement");
      expected.push_back("Verify client requirement failed - status -67050");
    }
    if (browser.failuresBeforeSuccess >= 0) {
      expected.push_back("Successfully created requirement");
      expected.push_back("Verify client requirement succeeded");
    } else {
      // Then the package database, which knows nothing of these.
      expected.push_back("Will check browser " + pid + " against the installed packages");
      expected.push_back("Browser " + pid + " is not an installed browser package: *");
    }
    SCOPED_TRACE(browser.name);
    expectLog(verdict.log, expected);
  }
}

TEST_F(CodeSignatureValidatorTest, BrowserChangedOnDiskOrGoneIsRefused) {
  const fs::path chrome = peerExecutable("Chrome", "com.google.Chrome", "browser-google");
  cs::ChildProcess process(chrome);
  const fs::path swapped = work_.path() / "swapped";
  cs::copyExecutable(chrome, swapped);
  fs::rename(swapped, chrome);
  Verdict verdict = ask(signedAgent_, "browser", std::to_string(process.pid()));
  EXPECT_EQ(verdict.answer, "false");
  ASSERT_EQ(verdict.log.size(), 10u);
  for (std::size_t line : {3u, 5u, 7u}) EXPECT_EQ(verdict.log[line], "Verify client requirement failed - status -67034");
  EXPECT_NE(verdict.log[9].find("is not an installed browser package: its executable was removed or replaced"),
            std::string::npos)
      << verdict.log[9];

  // No process: nothing is compiled.
  verdict = ask(signedAgent_, "browser", "0");
  EXPECT_EQ(verdict.answer, "false");
  expectLog(verdict.log, {"Will validate remote browser 0", "Failed to grab code signature for 0 - status -67065",
                          "Couldn't find any running application with 0 pid, or failed to get its code signature"});
}

// In-process checks: this test program is itself unsigned.
TEST(CodeSigningSteps, MissingRequirementAndUncompilableTexts) {
  ::setenv("TESSALY_LOG", "stderr", 1);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(steps::checkRequirement(steps::CodeObject(steps::ownCode()), nullptr));
  EXPECT_FALSE(steps::compileRequirement("anchor apple generic and ("));
  const std::vector<std::string> log = cs::logMessages(::testing::internal::GetCapturedStderr());
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "Trying to verify a client requirement, but had no requirement. Aborting"),
            log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), "Failed to create requirement - status -67052"), log.end());
}

TEST(CodeSigningSteps, CachesAreBuiltOnceOnFirstUse) {
  ::setenv("TESSALY_LOG", "stderr", 1);
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(steps::otherBrowsersRequirement());
    EXPECT_TRUE(steps::ownCode());
  }
  const std::vector<std::string> log = cs::logMessages(::testing::internal::GetCapturedStderr());
  EXPECT_EQ(log, (std::vector<std::string>{"Successfully created requirement",
                                           "Successfully grabbed code signature for ourselves"}));
}

TEST(CodeSignatureEntryPoints, CFunctionsAnswerLikeTheClass) {
  EXPECT_EQ(validateRemoteProcess(0), 0);
  EXPECT_EQ(validateRemoteBrowser(-1), 0);
  // This unsigned program accepts no peer, itself included.
  EXPECT_EQ(validateRemoteProcess(::getpid()), 0);
  char* home = realHomeDirectory();
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(std::string(home), CodeSignatureValidator::realHomeDirectory());
  std::free(home);
}

TEST(RealHomeDirectory, ComesFromTheUserDatabase) {
  if (::getuid() != 0) {
    const passwd* entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(CodeSignatureValidator::realHomeDirectory(), entry->pw_dir);
    return;
  }
  EXPECT_EQ(CodeSignatureValidator::realHomeDirectory(), "/Users/root");
  // As an ordinary user the database's directory wins over the environment.
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user 'nobody'";
  const std::string expected = nobody->pw_dir;
  const uid_t uid = nobody->pw_uid;
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::setenv("HOME", "/tmp/not-the-home", 1);
    if (::setgid(nobody->pw_gid) != 0 || ::setuid(uid) != 0) ::_exit(2);
    ::_exit(CodeSignatureValidator::realHomeDirectory() == expected ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tessaly::verification
