#include "tessaly/verification/packaged_browser.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

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
Answer checkInChild(pid_t pid, const PackageDatabase& database, const std::function<bool()>& prepare = {},
                    std::chrono::seconds patience = std::chrono::seconds(20)) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    if (prepare && !prepare()) ::_exit(3);
    ::dup2(pipeFds[1], STDERR_FILENO);
    ::setenv("TESSALY_LOG", "stderr", 1);
    ::_exit(isInstalledBrowserPackage(pid, database) ? 0 : 1);
  }
  ::close(pipeFds[1]);
  Answer answer;
  const auto deadline = std::chrono::steady_clock::now() + patience;
  int status = 0;
  for (;;) {
    pollfd readable{pipeFds[0], POLLIN, 0};
    if (::poll(&readable, 1, 10) > 0) {
      char buffer[4096];
      const ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
      if (got > 0) answer.log.append(buffer, static_cast<std::size_t>(got));
    }
    if (::waitpid(child, &status, WNOHANG) == child) {
      answer.recognised = WIFEXITED(status) && WEXITSTATUS(status) == 0;
      answer.prepared = !(WIFEXITED(status) && WEXITSTATUS(status) == 3);
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      break;
    }
  }
  ::close(pipeFds[0]);
  return answer;
}

std::string md5Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    static constexpr char kHex[] = "0123456789abcdef";
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 0xf]);
  }
  return text;
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
    root_ = scratch_->path();
    fs::permissions(root_, fs::perms(0755));
    executable_ = root_ / "usr/lib/webbrowser/webbrowser";
    fs::create_directories(executable_.parent_path());
    fs::create_directories(root_ / "dpkg/info");
    cs::copyExecutable(cs::sleeperPath(), executable_);
    fs::permissions(executable_, fs::perms(0755));
    writeStatus("install ok installed");
    writeSums(md5Hex(cs::readFile(executable_)));
    database_.root = root_ / "dpkg";
    database_.packages = {"web-browser", "other-browser"};
  }
  void TearDown() override { scratch_.reset(); }

  void writeStatus(const std::string& state) {
    cs::writeFile(root_ / "dpkg/status",
                  "Package: base-files\nStatus: install ok installed\nArchitecture: amd64\n\n"
                  "Package: web-browser\nStatus: " + state + "\nPriority: optional\nArchitecture: amd64\n"
                  "Description: a browser\n that spans lines\n\n"
                  "Package: zsh\nStatus: install ok installed\nArchitecture: amd64\n");
  }
  void writeSums(const std::string& digest) {
    cs::writeFile(root_ / "dpkg/info/web-browser.md5sums",
                  "0123456789abcdef0123456789abcdef  usr/share/doc/web-browser/README\n" + digest + "  " +
                      executable_.native().substr(1) + "\n");
  }

  Answer check() {
    cs::ChildProcess browser(executable_);
    return checkInChild(browser.pid(), database_);
  }

  std::unique_ptr<cs::TemporaryDirectory> scratch_;
  fs::path root_;
  fs::path executable_;
  PackageDatabase database_;
};

// Every condition of the recognition, each broken alone on a browser that is otherwise recognised.
TEST_F(InstalledBrowserTest, EveryConditionMustHold) {
  {
    const Answer answer = check();
    ASSERT_EQ(answer.recognised, true) << answer.log;
    EXPECT_NE(answer.log.find(" runs " + executable_.native() + " of the installed package web-browser"),
              std::string::npos)
        << answer.log;
  }
  // Each case is made afresh on a fresh installation.
  struct Case {
    const char* name;
    std::function<void()> breakIt;
    std::string reason;  // part of the log line that says why
  };
  const auto cases = [this]() -> std::vector<Case> {
    const fs::path sums = root_ / "dpkg/info/web-browser.md5sums";
    const fs::path status = root_ / "dpkg/status";
    return {
        {"executable writable by its group", [=, this] { ::chmod(executable_.c_str(), 0775); },
         executable_.native() + " is writable by group or others"},
        {"a folder above it writable by others", [=, this] { ::chmod((root_ / "usr/lib").c_str(), 0757); },
         "the folder " + (root_ / "usr/lib").native() + " is writable by group or others"},
        {"executable owned by another user", [=, this] { ASSERT_EQ(::chown(executable_.c_str(), 65534, 0), 0); },
         "is owned by uid 65534, not root"},
        {"digest list writable by others", [=] { ::chmod(sums.c_str(), 0666); }, "is writable by group or others"},
        {"status owned by another user", [=] { ASSERT_EQ(::chown(status.c_str(), 65534, 0), 0); },
         "is owned by uid 65534, not root"},
        {"database reached through a symbolic link",
         [=, this] {
           fs::rename(root_ / "dpkg", root_ / "dpkg-real");
           fs::create_directory_symlink("dpkg-real", root_ / "dpkg");
         },
         "cannot open the folder " + (root_ / "dpkg").native()},
        {"another digest recorded", [this] { writeSums("00000000000000000000000000000000"); },
         "differs from what its package installed"},
        {"package removed, its configuration kept", [this] { writeStatus("deinstall ok config-files"); },
         "no installed browser package lists"},
        {"package not among the browsers", [this] { database_.packages = {"other-browser"}; },
         "no installed browser package lists"},
        {"no time left", [this] { database_.budget = std::chrono::milliseconds(0); }, "ran out of time"},
    };
  };
  const std::size_t count = cases().size();
  for (std::size_t i = 0; i < count; ++i) {
    TearDown();
    SetUp();
    const Case c = cases()[i];
    SCOPED_TRACE(c.name);
    c.breakIt();
    const Answer answer = check();
    EXPECT_EQ(answer.recognised, false) << answer.log;
    EXPECT_NE(answer.log.find(" is not an installed browser package: "), std::string::npos) << answer.log;
    EXPECT_NE(answer.log.find(c.reason), std::string::npos) << answer.log;
  }
}

TEST_F(InstalledBrowserTest, ExecutableReplacedAfterItStartedIsRefused) {
  cs::ChildProcess browser(executable_);
  // An upgrade puts a new file in place; the running process still runs the old one.
  cs::copyExecutable(cs::sleeperPath(), root_ / "new");
  fs::rename(root_ / "new", executable_);
  writeSums(md5Hex(cs::readFile(executable_)));
  const Answer answer = checkInChild(browser.pid(), database_);
  EXPECT_EQ(answer.recognised, false) << answer.log;
  EXPECT_NE(answer.log.find("removed or replaced after it started"), std::string::npos) << answer.log;
}

// Hashing a large executable stops when the time is up (reading the database is quick and ends in time).
TEST_F(InstalledBrowserTest, HashingEndsWhenTheTimeIsUp) {
  // The loader ignores what follows a program, so a large executable still runs.
  cs::writeFile(executable_, cs::readFile(cs::sleeperPath()) + std::string(std::size_t{96} << 20, '\0'));
  writeSums(md5Hex(cs::readFile(executable_)));
  database_.budget = std::chrono::milliseconds(15);
  const Answer answer = check();
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
  ASSERT_TRUE(answer.recognised.has_value());
  EXPECT_FALSE(*answer.recognised) << answer.log;
  EXPECT_NE(answer.log.find(executable_.native() + " is no longer the file the process runs"), std::string::npos)
      << answer.log;
}

// The database's folder named with "..": only plain paths are walked, so that no component leads elsewhere.
TEST_F(InstalledBrowserTest, TheDatabaseIsReachedOnlyByAPlainPath) {
  database_.root = root_ / "usr/../dpkg";
  const Answer answer = check();
  EXPECT_EQ(answer.recognised, false) << answer.log;
  EXPECT_NE(answer.log.find("is not a plain path"), std::string::npos) << answer.log;
}

// A FIFO in the database's place: opening it must not wait for a writer, and what was written into it is not
// taken for the database.
TEST_F(InstalledBrowserTest, FilesThatAreNotRegularAreRefusedWithoutWaiting) {
  const fs::path status = root_ / "dpkg/status";
  const std::string contents = cs::readFile(status);
  fs::remove(status);
  ASSERT_EQ(::mkfifo(status.c_str(), 0644), 0);
  Answer answer = check();
  ASSERT_TRUE(answer.recognised.has_value()) << "the check waited on a FIFO";
  EXPECT_FALSE(*answer.recognised);
  EXPECT_NE(answer.log.find(status.native() + " is not a regular file"), std::string::npos) << answer.log;

  // The genuine database, waiting in the FIFO with its writer gone: a reader would get all of it, then its end.
  const int holder = ::open(status.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  const int writer = ::open(status.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::write(writer, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
  ::close(writer);
  answer = check();
  ::close(holder);
  EXPECT_EQ(answer.recognised, false) << answer.log;
}

// The system's own database, read for real: a program of an installed package is recognised when that package
// counts, whether its files are recorded under /usr or under the root's links into it (/bin -> usr/bin).
TEST(SystemPackageDatabase, ReadsTheRealDatabase) {
  const fs::path sleep = "/usr/bin/sleep";
  if (!fs::exists("/var/lib/dpkg/info/coreutils.md5sums")) GTEST_SKIP() << "no dpkg database with coreutils";
  cs::ChildProcess sleeper(sleep, {"60"});
  PackageDatabase coreutils;
  coreutils.packages = {"coreutils"};
  Answer answer = checkInChild(sleeper.pid(), coreutils);
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
