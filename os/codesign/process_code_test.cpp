#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "signed_code_test.h"

namespace tessaly::codesign {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;

class ProcessCodeTest : public SignedCodeTest {
 protected:
  static SecCodeRef guest(std::int64_t pid, OSStatus expected = errSecSuccess) {
    SecCodeRef code;
    EXPECT_EQ(
        SecCodeCopyGuestWithAttributes(nullptr, {{std::string(kSecGuestAttributePid), pid}}, kSecCSDefaultFlags, &code),
        expected);
    return code;
  }

  static OSStatus check(const SecCodeRef& code) {
    return SecCodeCheckValidity(code, kSecCSDefaultFlags, requirement("anchor apple generic"));
  }
};

TEST_F(ProcessCodeTest, RunningSignedProgramsAreValid) {
  ChildProcess bare(signedBare());
  SecCodeRef code = guest(bare.pid());
  EXPECT_EQ(processIdentifierOf(code), bare.pid());
  EXPECT_EQ(checkProcess(bare.pid(), "anchor apple generic and identifier com.example.tool"), errSecSuccess);
  EXPECT_EQ(checkProcess(bare.pid(), "certificate leaf[subject.OU] = " TESSALY_AGENT_TEAM), errSecSuccess);

  ChildProcess bundled(executableOf(signedBundle()));
  EXPECT_EQ(checkProcess(bundled.pid(), "identifier com.example.peer"), errSecSuccess);

  // This test program is unsigned.
  SecCodeRef self;
  ASSERT_EQ(SecCodeCopySelf(kSecCSDefaultFlags, &self), errSecSuccess);
  EXPECT_EQ(processIdentifierOf(self), ::getpid());
  EXPECT_EQ(SecCodeCheckValidity(self, kSecCSDefaultFlags, nullptr), errSecCSUnsigned);
  EXPECT_EQ(SecCodeCopyGuestWithAttributes(self, {{"pid", ::getpid()}}, kSecCSDefaultFlags, &code), errSecCSNotAHost);
}

TEST_F(ProcessCodeTest, ProcessesThatAreGoneOrNeverWereAndUnsupportedAttributes) {
  guest(0, errSecCSNoSuchCode);
  guest(-1, errSecCSNoSuchCode);
  guest(std::int64_t{1} << 40, errSecCSInvalidAttributeValues);
  // A process that has exited and been reaped leaves its identifier unused for a while.
  const pid_t gone = ChildProcess(testing::sleeperPath()).pid();
  guest(gone, errSecCSNoSuchCode);

  // A process that exits between lookup and check.
  ChildProcess child(signedBare());
  SecCodeRef code = guest(child.pid());
  ASSERT_TRUE(code);
  child.stop();
  EXPECT_EQ(check(code), errSecCSNoSuchCode);

  EXPECT_EQ(SecCodeCopyGuestWithAttributes(nullptr, {}, kSecCSDefaultFlags, &code), errSecCSUnsupportedGuestAttributes);
  EXPECT_EQ(SecCodeCopyGuestWithAttributes(nullptr, {{"pid", ::getpid()}, {"audit", 1}}, kSecCSDefaultFlags, &code),
            errSecCSUnsupportedGuestAttributes);
}

// Code changed on disk after its process started, checked through a code object made before and after.
TEST_F(ProcessCodeTest, CodeChangedOnDiskWhileRunning) {
  const struct {
    const char* what;
    bool bundle;
    OSStatus expected;
    std::function<bool(const fs::path& program, const fs::path& code)> change;  // false: cannot be made here
  } cases[] = {
      // A different file moved over the path: the running program is no longer what the path holds.
      {"executable replaced", false, errSecCSStaticCodeChanged,
       [](const fs::path& program, const fs::path&) {
         testing::copyExecutable(program, program.native() + ".new");
         fs::rename(program.native() + ".new", program);
         return true;
       }},
      {"executable removed", false, errSecCSStaticCodeChanged,
       [](const fs::path& program, const fs::path&) { return fs::remove(program); }},
      // The program's last byte (section headers): sealed, but nothing the running program reads.
      {"executable modified in place", false, errSecCSSignatureFailed,
       [](const fs::path& program, const fs::path&) {
         const int fd = ::open(program.c_str(), O_WRONLY);
         if (fd < 0 && errno == ETXTBSY) return false;  // this kernel refuses writes to running programs
         const std::string bytes = testing::readFile(testing::sleeperPath());
         const char flipped = static_cast<char>(bytes.back() ^ 0x20);
         const bool written = ::pwrite(fd, &flipped, 1, static_cast<off_t>(bytes.size() - 1)) == 1;
         ::close(fd);
         return written;
       }},
      {"bundle resource edited", true, errSecCSBadResource,
       [](const fs::path&, const fs::path& bundle) {
         testing::writeFile(bundle / "Contents/Resources/strings.txt", "jello");
         return true;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path code = c.bundle ? signedBundle() : signedBare();
    const fs::path program = c.bundle ? executableOf(code) : code;
    ChildProcess child(program);
    SecCodeRef before = guest(child.pid());
    ASSERT_EQ(check(before), errSecSuccess);
    if (!c.change(program, code)) {
      std::cout << "not tried here: " << c.what << "\n";
      continue;
    }
    EXPECT_EQ(check(before), c.expected);
    EXPECT_EQ(check(guest(child.pid())), c.expected);
  }
}

}  // namespace
}  // namespace tessaly::codesign
