#include "tessaly/verification/packaged_browser.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "tessaly/codesign/code_directory.h"
#include "tessaly/testing/child_process.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/signed_peers.h"

namespace tessaly::verification {
namespace {

namespace fs = std::filesystem;
namespace cs = tessaly::testing;

// What one check said, run in a child process so that a check that hangs is seen as one.
struct Answer {
  std::optional<bool> recognised;  // nothing: it did not finish in time
  std::string log;
  bool prepared = true;  // false: the preparation failed, and there was no check
};

// `prepare` runs in the child first.
Answer checkInChild(pid_t pid, const PackageDatabase& database, const std::function<bool()>& prepare = {}) {
  cs::TemporaryDirectory scratch;
  const fs::path log = scratch.path() / "log";
  const pid_t child = ::fork();
  if (child == 0) {
    if (prepare && !prepare()) ::_exit(3);
    ::dup2(::open(log.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600), STDERR_FILENO);
    ::setenv("TESSALY_LOG", "stderr", 1);
    ::_exit(isInstalledBrowserPackage(pid, database) ? 0 : 1);
  }
  const std::optional<int> status = cs::ChildProcess::adopt(child).wait(std::chrono::seconds(20));
  Answer answer{std::nullopt, cs::readFile(log)};
  if (status && WIFEXITED(*status)) answer.recognised = WEXITSTATUS(*status) == 0;
  answer.prepared = !(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 3);
  return answer;
}

std::string md5Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
  return codesign::toHex(digest, length);
}

// A browser installed by a package, in a folder tree that only root can write (a folder of its own under
// /run), with a database of its own: the executable, status and info/<package>.md5sums.
class InstalledBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    struct stat run {};
    if (::geteuid() != 0 || ::stat("/run", &run) != 0 || run.st_uid != 0 || (run.st_mode & (S_IWGRP | S_IWOTH))) {
      GTEST_SKIP() << "needs root and a /run that only root can write, to make a tree that only root can write";
    }
    scratch_ = std::make_unique<cs::TemporaryDirectory>("/run");
    fs::permissions(scratch_->path(), fs::perms(0755));
    root_ = scratch_->path() / "root";
    executable_ = root_ / "usr/lib/webbrowser/webbrowser";
    install();
  }

  // A fresh installation in the same place.
  void install() {
    fs::remove_all(root_);
    fs::create_directories(root_ / "dpkg/info");
    cs::copyExecutable(cs::sleeperPath(), executable_);
    fs::permissions(executable_, fs::perms(0755));
    writeStatus("install ok installed");
    writeSums(md5Hex(cs::readFile(executable_)));
    database_ = PackageDatabase{root_ / "dpkg", {"web-browser", "other-browser"}};
  }
  void writeStatus(const std::string& state) {
    cs::writeFile(root_ / "dpkg/status",
                  "Package: base-files\nStatus: install ok installed\nArchitecture: amd64\n\n"
                  "Package: web-browser\nStatus: " +
                      state +
                      "\nPriority: optional\nArchitecture: amd64\n"
                      "Description: a browser\n that spans lines\n\n"
                      "Package: zsh\nStatus: install ok installed\nArchitecture: amd64\n");
  }
  void writeSums(const std::string& digest) {
    cs::writeFile(root_ / "dpkg/info/web-browser.md5sums",
                  "0123456789abcdef0123456789abcdef  usr/share/doc/web-browser/README\n" + digest + "  " +
                      executable_.native().substr(1) + "\n");
  }

  std::unique_ptr<cs::TemporaryDirectory> scratch_;
  fs::path root_;
  fs::path executable_;
  PackageDatabase database_;
};

// Every condition of the recognition, each broken alone (after the browser started) on a fresh installation.
TEST_F(InstalledBrowserTest, EveryConditionMustHold) {
  const fs::path status = root_ / "dpkg/status";
  const struct {
    const char* name;
    std::function<void()> breakIt;
    std::string logged;  // part of the log line that says why
  } cases[] = {
      {"nothing broken", [] {}, " runs " + executable_.native() + " of the installed package web-browser"},
      {"executable writable by its group", [&] { ::chmod(executable_.c_str(), 0775); },
       executable_.native() + " is writable by group or others"},
      {"a folder above it writable by others", [&] { ::chmod((root_ / "usr/lib").c_str(), 0757); },
       "the folder " + (root_ / "usr/lib").native() + " is writable by group or others"},
      {"status owned by another user", [&] { ASSERT_EQ(::chown(status.c_str(), 65534, 0), 0); },
       "is owned by uid 65534, not root"},
      {"database reached through a symbolic link",
       [&] {
         fs::rename(root_ / "dpkg", root_ / "dpkg-real");
         fs::create_directory_symlink("dpkg-real", root_ / "dpkg");
       },
       "cannot open the folder " + (root_ / "dpkg").native()},
      {"database named with '..'", [&] { database_.root = root_ / "usr/../dpkg"; }, "is not a plain path"},
      // Opening a FIFO must not wait for a writer, nor take it for the file.
      {"a FIFO in place of the status",
       [&] {
         fs::remove(status);
         ASSERT_EQ(::mkfifo(status.c_str(), 0644), 0);
       },
       status.native() + " is not a regular file"},
      {"another digest recorded", [&] { writeSums("00000000000000000000000000000000"); },
       "differs from what its package installed"},
      // An upgrade puts a new file in place; the running process still runs the old one.
      {"executable replaced after it started",
       [&] {
         cs::copyExecutable(cs::sleeperPath(), root_ / "new");
         fs::rename(root_ / "new", executable_);
         writeSums(md5Hex(cs::readFile(executable_)));
       },
       "removed or replaced after it started"},
      {"package removed, its configuration kept", [&] { writeStatus("deinstall ok config-files"); },
       "no installed browser package lists"},
      {"package not among the browsers", [&] { database_.packages = {"other-browser"}; },
       "no installed browser package lists"},
      {"no time left", [&] { database_.budget = std::chrono::milliseconds(0); }, "ran out of time"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    install();
    cs::ChildProcess browser(executable_);
    c.breakIt();
    const Answer answer = checkInChild(browser.pid(), database_);
    const bool broken = &c != &cases[0];
    EXPECT_EQ(answer.recognised, !broken) << answer.log;
    EXPECT_EQ(answer.log.find(" is not an installed browser package: ") != std::string::npos, broken) << answer.log;
    EXPECT_NE(answer.log.find(c.logged), std::string::npos) << answer.log;
  }
}

// Hashing a large executable stops when the time is up (reading the database is quick and ends in time).
TEST_F(InstalledBrowserTest, HashingEndsWhenTheTimeIsUp) {
  // The loader ignores what follows a program, so a large executable still runs.
  cs::writeFile(executable_, cs::readFile(cs::sleeperPath()) + std::string(std::size_t{96} << 20, '\0'));
  writeSums(md5Hex(cs::readFile(executable_)));
  database_.budget = std::chrono::milliseconds(15);
  cs::ChildProcess browser(executable_);
  const Answer answer = checkInChild(browser.pid(), database_);
  EXPECT_EQ(answer.recognised, false) << answer.log;
  EXPECT_NE(answer.log.find("ran out of time"), std::string::npos) << answer.log;
}

// Another file put over the executable's path (a bind mount leaves the running file's path unchanged): what
// lies at the path now is not what the process runs, even if the database vouches for it.
TEST_F(InstalledBrowserTest, AFileCoveringTheExecutableIsNotTakenForIt) {
  cs::ChildProcess browser(executable_);
  const fs::path impostor = root_ / "impostor";
  cs::writeFile(impostor, "#!/bin/sh\n");
  fs::permissions(impostor, fs::perms(0755));
  writeSums(md5Hex(cs::readFile(impostor)));
  const Answer answer = checkInChild(browser.pid(), database_, [&] {
    return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount(impostor.c_str(), executable_.c_str(), nullptr, MS_BIND, nullptr) == 0;
  });
  if (!answer.prepared) GTEST_SKIP() << "cannot make a private mount namespace here (needs CAP_SYS_ADMIN)";
  EXPECT_EQ(answer.recognised, false) << answer.log;
  EXPECT_NE(answer.log.find(executable_.native() + " is no longer the file the process runs"), std::string::npos)
      << answer.log;
}

// The system's own database, read for real: a program of an installed package is recognised when that package
// counts, whether its files are recorded under /usr or under the root's links into it (/bin -> usr/bin).
TEST(SystemPackageDatabase, ReadsTheRealDatabase) {
  if (!fs::exists("/var/lib/dpkg/info/coreutils.md5sums")) GTEST_SKIP() << "no dpkg database with coreutils";
  cs::ChildProcess sleeper("/usr/bin/sleep", {"60"});
  Answer answer = checkInChild(sleeper.pid(), PackageDatabase{"/var/lib/dpkg", {"coreutils"}});
  EXPECT_EQ(answer.recognised, true) << answer.log;

  answer = checkInChild(sleeper.pid(), systemBrowserDatabase());
  EXPECT_EQ(answer.recognised, false) << answer.log;
  EXPECT_NE(answer.log.find("no installed browser package lists /usr/bin/sleep"), std::string::npos) << answer.log;

  answer = checkInChild(999999999, systemBrowserDatabase());
  EXPECT_EQ(answer.recognised, false);
  EXPECT_NE(answer.log.find("there is no such process"), std::string::npos) << answer.log;
}

}  // namespace
}  // namespace tessaly::verification
