#include "tessaly/verification/code_signature_validator.h"

#include <pwd.h>
#include <unistd.h>

#include "tessaly/testing/child_process.h"
#include "tessaly/testing/dev_pki_test.h"
#include "tessaly/testing/standard_error.h"
#include "tessaly/verification/code_signature.h"
#include "tessaly/verification/code_signing_steps.h"
#include "tessaly/verification/requirement_texts.h"

namespace tessaly::verification {
namespace {

namespace fs = std::filesystem;
namespace cs = tessaly::testing;

// What one run of the probe said: its verdict and its log lines.
struct Verdict {
  std::string answer;
  std::vector<std::string> log;
};

// Expected log lines; "{}" stands for `subject` (a process identifier or a path), and a line ending in '*'
// matches any line that starts with the rest.
void expectLog(std::vector<std::string> actual, std::vector<std::string> expected, const std::string& subject) {
  for (std::size_t i = 0; i < expected.size(); ++i) {
    std::string& want = expected[i];
    for (auto at = want.find("{}"); at != std::string::npos; at = want.find("{}")) want.replace(at, 2, subject);
    if (want.ends_with('*') && i < actual.size() && actual[i].starts_with(want.substr(0, want.size() - 1))) {
      actual[i] = want;
    }
  }
  EXPECT_EQ(actual, expected);
}

// The log of a peer that passes the certificate check and has its team compared with ours (`same`: "true" or
// "false"), or ("") finds that we have no team.
std::vector<std::string> withTeams(const std::string& same) {
  return {"Will validate remote process {}",
          "Successfully grabbed code signature for {}",
          "Successfully created requirement",
          "Verify client requirement succeeded",
          "Verify by Apple Cert: true",
          "Successfully grabbed code signature information. Dictionary has *",
          "Successfully grabbed code signature for ourselves",
          "Successfully grabbed code signature information. Dictionary has *",
          same.empty() ? "Failed to grab code signature information about ourselves."
                       : "Code signature team id of client == ourselves: " + same};
}

// The log of a peer that fails the certificate check with `status`.
std::vector<std::string> certificateFailed(const std::string& status) {
  return {"Will validate remote process {}",  "Successfully grabbed code signature for {}",
          "Successfully created requirement", "Verify client requirement failed - status " + status,
          "Verify by Apple Cert: false",      "Failed to grab code signature information about the client."};
}

// The agent: this probe in a bundle signed with the team's Developer ID, and the same program unsigned.
class CodeSignatureValidatorTest : public cs::DevPkiTest {
 protected:
  static void SetUpTestSuite() {
    DevPkiTest::SetUpTestSuite();
    const fs::path bundle = cs::makeBundle(
        pki_->path(), {TESSALY_AGENT_EXECUTABLE, TESSALY_AGENT_IDENTIFIER, "", TESSALY_VALIDATOR_PROBE, {}, false});
    cs::sign(bundle, identity("developer-id"));
    signedAgent_ = bundle / "Contents/MacOS" / TESSALY_AGENT_EXECUTABLE;
    unsignedAgent_ = pki_->path() / "unsigned-agent";
    cs::copyExecutable(TESSALY_VALIDATOR_PROBE, unsignedAgent_);
  }

  static Verdict ask(const fs::path& agent, const std::string& mode, const std::string& argument) {
    cs::RunResult result = cs::run(agent, {mode, argument}, {"TESSALY_LOG=stderr"});
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    std::vector<std::string> answer = cs::lines(result.standardOutput);
    return Verdict{answer.empty() ? "" : answer.front(), cs::logMessages(result.standardError)};
  }

  // A bundle around the sleeper, signed (or not) as `identifier`.
  fs::path peerBundle(const std::string& name, const std::string& identifier, const char* identityName) {
    fs::path bundle = cs::makeBundle(
        work(), {name, identifier, "", cs::sleeperPath(), {{"Contents/Resources/strings", "hello"}}, false});
    if (identityName != nullptr) cs::sign(bundle, identity(identityName));
    return bundle;
  }

  // The executable of such a bundle, running; `replaced`: its file then replaced by a copy, as an upgrade does.
  cs::ChildProcess startPeer(const std::string& name, const std::string& identifier, const char* identityName,
                             bool replaced) {
    const fs::path program = peerBundle(name, identifier, identityName) / "Contents/MacOS" / name;
    cs::ChildProcess peer(program);
    if (replaced) {
      cs::copyExecutable(program, work() / "swapped");
      fs::rename(work() / "swapped", program);
    }
    return peer;
  }

  inline static fs::path signedAgent_;
  inline static fs::path unsignedAgent_;
};

// Every outcome of the peer check, each with the whole log that leads to it.
TEST_F(CodeSignatureValidatorTest, PeersAreCheckedStepByStep) {
  struct Case {
    const char* name;
    const char* identity;  // nullptr: unsigned
    bool unsignedAgent;
    bool replacedAfterStart;
    const char* answer;
    std::vector<std::string> log;
  };
  const Case cases[] = {
      {"Developer ID", "developer-id", false, false, "true", withTeams("true")},
      {"App Store", "app-store", false, false, "true", withTeams("true")},
      {"other team", "other-team", false, false, "false", withTeams("false")},
      {"development certificate", "development", false, false, "false", certificateFailed("-67050")},
      {"unsigned peer", nullptr, false, false, "false", certificateFailed("-67062")},
      {"changed on disk while running", "developer-id", false, true, "false", certificateFailed("-67034")},
      {"unsigned agent", "developer-id", true, false, "false", withTeams("")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cs::ChildProcess peer = startPeer(c.name, "com.tessaly.desktop", c.identity, c.replacedAfterStart);
    const std::string pid = std::to_string(peer.pid());
    Verdict verdict = ask(c.unsignedAgent ? unsignedAgent_ : signedAgent_, "process", pid);
    EXPECT_EQ(verdict.answer, c.answer);
    expectLog(verdict.log, c.log, pid);
  }
}

// A process that is gone: nothing is compiled or compared.
TEST_F(CodeSignatureValidatorTest, GoneProcessesAreRefused) {
  const std::string gone = std::to_string(cs::ChildProcess(cs::sleeperPath()).pid());
  for (const std::string mode : {"process", "browser"}) {
    Verdict verdict = ask(signedAgent_, mode, gone);
    EXPECT_EQ(verdict.answer, "false");
    expectLog(verdict.log,
              {"Will validate remote " + mode + " {}", "Failed to grab code signature for {} - status -67065",
               "Couldn't find any running application with {} pid, or failed to get its code signature"},
              gone);
  }
}

TEST_F(CodeSignatureValidatorTest, CodeOnDiskGetsEachOfTheFourResults) {
  enum class Change { none, resourceModified, infoPlistRemoved, absent };
  std::vector<std::string> valid = withTeams("true");
  valid.erase(valid.begin());
  valid.insert(valid.begin() + 1, "Passed static code check");
  valid.push_back("Successful codesign validation");
  const struct {
    const char* identity;
    Change change;
    const char* result;
    std::vector<std::string> log;  // empty: not compared
  } cases[] = {
      {"developer-id", Change::none, "4", valid},
      {"other-team", Change::none, "2", {}},
      {nullptr,
       Change::none,
       "1",
       {"Successfully grabbed code signature for {}", "Failed to validate static code - status -67062",
        "failed codesign validation: invalid static code"}},
      {"developer-id", Change::resourceModified, "1", {}},
      {"developer-id", Change::infoPlistRemoved, "3", {}},
      {nullptr,
       Change::absent,
       "3",
       {"Failed to grab code signature for {} - status -67068",
        "failed codesign validation: could not get code signature"}},
  };
  int made = 0;
  for (const auto& c : cases) {
    fs::path bundle = peerBundle("Peer" + std::to_string(made++), "com.tessaly.desktop", c.identity);
    SCOPED_TRACE(bundle.filename().native());
    if (c.change == Change::resourceModified) cs::writeFile(bundle / "Contents/Resources/strings", "jello");
    if (c.change == Change::infoPlistRemoved) fs::remove(bundle / "Contents/Info.plist");
    if (c.change == Change::absent) fs::remove_all(bundle);
    Verdict verdict = ask(signedAgent_, "file", bundle.native());
    EXPECT_EQ(verdict.answer, c.result);
    if (!c.log.empty()) expectLog(verdict.log, c.log, bundle.native());
  }
}

// Each requirement is tried in turn (Safari's, Chrome's, the other browsers'), then the package database.
TEST_F(CodeSignatureValidatorTest, BrowsersAreRecognisedByTheirMakersSignatures) {
  struct Browser {
    const char* name;
    const char* identifier;
    const char* identity;
    int failuresBeforeSuccess;  // -1: never recognised
    bool replacedAfterStart = false;
  };
  const Browser browsers[] = {
      {"Safari", "com.apple.Safari", "vendor", 0},
      {"Chrome", "com.google.Chrome", "browser-google", 1},
      {"Canary", "com.google.Chrome.canary", "browser-google", 2},
      {"Firefox", "org.mozilla.firefox", "browser-mozilla", 2},
      {"Preview", "com.apple.SafariTechnologyPreview", "vendor", 2},
      {"Brave", "com.brave.Browser", "browser-brave", 2},
      {"Edge", "com.microsoft.edgemac", "browser-microsoft", 2},
      {"Resigned", "com.google.Chrome", "developer-id", -1},
      {"Swapped", "org.mozilla.firefox", "browser-google", -1},
      {"FakeSafari", "com.apple.Safari", "developer-id", -1},
      {"Replaced", "com.google.Chrome", "browser-google", -1, true},
  };
  for (const Browser& browser : browsers) {
    SCOPED_TRACE(browser.name);
    cs::ChildProcess process =
        startPeer(browser.name, browser.identifier, browser.identity, browser.replacedAfterStart);
    const std::string pid = std::to_string(process.pid());
    Verdict verdict = ask(signedAgent_, "browser", pid);
    const bool recognised = browser.failuresBeforeSuccess >= 0;
    EXPECT_EQ(verdict.answer, recognised ? "true" : "false");
    std::vector<std::string> expected = {"Will validate remote browser {}",
                                         "Successfully grabbed code signature for {}"};
    for (int i = 0; i < (recognised ? browser.failuresBeforeSuccess : 3); ++i) {
      expected.push_back("Successfully created requirement");
      expected.push_back(browser.replacedAfterStart ? "Verify client requirement failed - status -67034"
                                                    : "Verify client requirement failed - status -67050");
    }
    if (recognised) {
      expected.push_back("Successfully created requirement");
      expected.push_back("Verify client requirement succeeded");
    } else {
      // Then the package database, which knows nothing of these.
      expected.push_back("Will check browser {} against the installed packages");
      expected.push_back(browser.replacedAfterStart
                             ? "Browser {} is not an installed browser package: its executable was removed or replaced*"
                             : "Browser {} is not an installed browser package: *");
    }
    expectLog(verdict.log, expected, pid);
  }
}

// The requirement texts against their golden copies: a character changed in a text or its copy fails here.
TEST(RequirementTexts, MatchTheirGoldenCopies) {
  const std::pair<const char*, std::string_view> texts[] = {
      {"apple_certificate.txt", kAppleCertificateRequirement},
      {"safari.txt", kSafariRequirement},
      {"chrome.txt", kChromeRequirement},
      {"other_browsers.txt", kOtherBrowsersRequirement},
  };
  for (const auto& [file, text] : texts) {
    std::string golden = cs::readFile(fs::path(TESSALY_REQUIREMENT_GOLDEN) / file);
    if (!golden.empty() && golden.back() == '\n') golden.pop_back();  // the copy ends its last line
    EXPECT_EQ(text, golden) << file;
  }
}

// In-process checks: this test program is itself unsigned.
TEST(CodeSigningSteps, CachesAreBuiltOnceAndMissingOrBadRequirementsAreRefused) {
  ::setenv("TESSALY_LOG", "stderr", 1);
  cs::StandardErrorCapture captured;
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(steps::otherBrowsersRequirement());
    EXPECT_TRUE(steps::ownCode());
  }
  EXPECT_FALSE(steps::checkRequirement(steps::CodeObject(steps::ownCode()), nullptr));
  EXPECT_FALSE(steps::compileRequirement("anchor apple generic and ("));
  EXPECT_EQ(
      cs::logMessages(captured.text()),
      (std::vector<std::string>{"Successfully created requirement", "Successfully grabbed code signature for ourselves",
                                "Trying to verify a client requirement, but had no requirement. Aborting",
                                "Failed to create requirement - status -67052"}));
}

// The user database, not the environment, names the home directory; the C entry points answer like the class.
TEST(RealHomeDirectory, ComesFromTheUserDatabase) {
  char* home = realHomeDirectory();
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(std::string(home), ::getuid() == 0 ? "/Users/root" : ::getpwuid(::getuid())->pw_dir);
  std::free(home);
  EXPECT_EQ(validateRemoteProcess(::getpid()), 0);  // this program is unsigned and accepts nobody
  EXPECT_EQ(validateRemoteBrowser(-1), 0);

  const passwd* nobody = ::getpwnam("nobody");
  if (::getuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root and a user 'nobody'";
  const std::string expected = nobody->pw_dir;
  const pid_t child = ::fork();
  if (child == 0) {
    ::setenv("HOME", "/tmp/not-the-home", 1);
    if (::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0) ::_exit(2);
    ::_exit(CodeSignatureValidator::realHomeDirectory() == expected ? 0 : 1);
  }
  EXPECT_EQ(cs::ChildProcess::adopt(child).wait(), 0);
}

}  // namespace
}  // namespace tessaly::verification
