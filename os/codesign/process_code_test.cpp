#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "tessaly/testing/child_process.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/signed_peers.h"
#include "tessaly/testing/dev_pki_test.h"
#include "tessaly/codesign/security.h"

namespace tessaly::codesign {
namespace {

namespace fs = std::filesystem;
using testing::BundleLayout;
using testing::ChildProcess;
using testing::TemporaryDirectory;

class ProcessCodeTest : public testing::DevPkiTest {
 protected:
  fs::path signedBare(const std::string& name = "sleeper") {
    fs::path file = work_.path() / name;
    testing::copyExecutable(testing::sleeperPath(), file);
    testing::sign(file, pki_->path() / "identities" / "developer-id", "com.example." + name);
    return file;
  }

  fs::path signedBundle() {
    BundleLayout layout;
    layout.executable = testing::sleeperPath();
    layout.files = {{"Contents/Resources/strings.txt", "hello"}};
    fs::path bundle = testing::makeBundle(work_.path(), layout);
    testing::sign(bundle, pki_->path() / "identities" / "developer-id");
    return bundle;
  }

  static SecCodeRef guest(std::int64_t pid, OSStatus expected = errSecSuccess) {
    SecCodeRef code;
    EXPECT_EQ(SecCodeCopyGuestWithAttributes(nullptr, {{std::string(kSecGuestAttributePid), pid}}, kSecCSDefaultFlags,
                                             &code),
              expected);
    return code;
  }

  static OSStatus check(const SecCodeRef& code, const char* text = "anchor apple generic") {
    SecRequirementRef requirement;
    EXPECT_EQ(SecRequirementCreateWithString(text, kSecCSDefaultFlags, &requirement), errSecSuccess);
    return SecCodeCheckValidity(code, kSecCSDefaultFlags, requirement);
  }

  static std::string team(const SecCodeRef& code) {
    SecStaticCodeRef staticCode;
    EXPECT_EQ(SecCodeCopyStaticCode(code, kSecCSDefaultFlags, &staticCode), errSecSuccess);
    SigningInformation info;
    EXPECT_EQ(SecCodeCopySigningInformation(staticCode, kSecCSSigningInformation, &info), errSecSuccess);
    auto found = info.find(kSecCodeInfoTeamIdentifier);
    return found == info.end() ? "<absent>" : std::get<std::string>(found->second);
  }

};

TEST_F(ProcessCodeTest, RunningSignedProgramsAreValid) {
  ChildProcess bare(signedBare());
  SecCodeRef code = guest(bare.pid());
  EXPECT_EQ(processIdentifierOf(code), bare.pid());
  EXPECT_EQ(check(code, "anchor apple generic and identifier com.example.sleeper"), errSecSuccess);
  EXPECT_EQ(team(code), "Q7RM2KX9WD");

  ChildProcess bundled(signedBundle() / "Contents/MacOS/Peer");
  SecCodeRef bundleCode = guest(bundled.pid());
  EXPECT_EQ(check(bundleCode, "identifier com.example.peer"), errSecSuccess);
  SecStaticCodeRef staticCode;
  ASSERT_EQ(SecCodeCopyStaticCode(bundleCode, kSecCSDefaultFlags, &staticCode), errSecSuccess);
  SigningInformation info;
  ASSERT_EQ(SecCodeCopySigningInformation(staticCode, kSecCSDefaultFlags, &info), errSecSuccess);
  EXPECT_EQ(std::get<std::string>(info.at("format")), "bundle");
}

TEST_F(ProcessCodeTest, ProcessesThatAreGoneOrNeverWere) {
  guest(0, errSecCSNoSuchCode);
  guest(-1, errSecCSNoSuchCode);
  guest(std::int64_t{1} << 40, errSecCSInvalidAttributeValues);

  // A process that has exited and been reaped leaves its identifier unused for a while.
  pid_t gone = -1;
  {
    ChildProcess child(testing::sleeperPath());
    gone = child.pid();
  }
  guest(gone, errSecCSNoSuchCode);

  // A process that exits between lookup and check.
  ChildProcess child(signedBare());
  SecCodeRef code = guest(child.pid());
  ASSERT_TRUE(code);
  child.stop();
  EXPECT_EQ(check(code), errSecCSNoSuchCode);
}

TEST_F(ProcessCodeTest, GuestAttributesAndHosts) {
  SecCodeRef code;
  EXPECT_EQ(SecCodeCopyGuestWithAttributes(nullptr, {}, kSecCSDefaultFlags, &code), errSecCSUnsupportedGuestAttributes);
  EXPECT_EQ(SecCodeCopyGuestWithAttributes(nullptr, {{"pid", ::getpid()}, {"audit", 1}}, kSecCSDefaultFlags, &code),
            errSecCSUnsupportedGuestAttributes);
  SecCodeRef self;
  ASSERT_EQ(SecCodeCopySelf(kSecCSDefaultFlags, &self), errSecSuccess);
  EXPECT_EQ(SecCodeCopyGuestWithAttributes(self, {{"pid", ::getpid()}}, kSecCSDefaultFlags, &code), errSecCSNotAHost);
}

TEST_F(ProcessCodeTest, UnsignedSelf) {
  SecCodeRef self;
  ASSERT_EQ(SecCodeCopySelf(kSecCSDefaultFlags, &self), errSecSuccess);
  EXPECT_EQ(processIdentifierOf(self), ::getpid());
  EXPECT_EQ(SecCodeCheckValidity(self, kSecCSDefaultFlags, nullptr), errSecCSUnsigned);
  EXPECT_EQ(team(self), "<absent>");
}

TEST_F(ProcessCodeTest, ExecutableReplacedOnDiskWhileRunning) {
  const fs::path program = signedBare();
  ChildProcess child(program);
  SecCodeRef before = guest(child.pid());
  ASSERT_EQ(check(before), errSecSuccess);

  // A different file moved over the path: the running program is no longer what the path holds.
  const fs::path replacement = work_.path() / "replacement";
  testing::copyExecutable(program, replacement);
  fs::rename(replacement, program);
  EXPECT_EQ(check(before), errSecCSStaticCodeChanged);
  EXPECT_EQ(check(guest(child.pid())), errSecCSStaticCodeChanged);

  ChildProcess second(signedBare("second"));
  fs::remove(work_.path() / "second");
  EXPECT_EQ(check(guest(second.pid())), errSecCSStaticCodeChanged);
}

TEST_F(ProcessCodeTest, ExecutableModifiedInPlaceWhileRunning) {
  const fs::path program = signedBare();
  ChildProcess child(program);
  ASSERT_EQ(check(guest(child.pid())), errSecSuccess);
  int fd = ::open(program.c_str(), O_WRONLY);
  if (fd < 0 && errno == ETXTBSY) GTEST_SKIP() << "this kernel refuses writes to running programs";
  ASSERT_GE(fd, 0);
  // The program's last byte (section headers): sealed, but nothing the running program reads.
  const std::string bytes = testing::readFile(testing::sleeperPath());
  const char flipped = static_cast<char>(bytes[bytes.size() - 1] ^ 0x20);
  ASSERT_EQ(::pwrite(fd, &flipped, 1, static_cast<off_t>(bytes.size() - 1)), 1);
  ::close(fd);
  EXPECT_EQ(check(guest(child.pid())), errSecCSSignatureFailed);
}

TEST_F(ProcessCodeTest, BundleChangedWhileRunning) {
  const fs::path bundle = signedBundle();
  ChildProcess child(bundle / "Contents/MacOS/Peer");
  SecCodeRef code = guest(child.pid());
  ASSERT_EQ(check(code), errSecSuccess);
  testing::writeFile(bundle / "Contents/Resources/strings.txt", "jello");
  EXPECT_EQ(check(code), errSecCSBadResource);
}

}  // namespace
}  // namespace tessaly::codesign
