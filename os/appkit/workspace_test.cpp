#include "tessaly/appkit/workspace.h"

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tessaly/testing/child_process.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/signed_peers.h"

namespace tessaly::appkit {
namespace {

using testing::TemporaryDirectory;
using testing::eventually;
using testing::readFile;
using testing::writeFile;

// Sets an environment variable for the life of the object.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnvironment() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

bool pathExists(const std::filesystem::path& path) { return std::filesystem::exists(path); }

std::size_t linesIn(const std::filesystem::path& file) {
  if (!pathExists(file)) return 0;
  const std::string text = readFile(file);
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::size_t threadCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

// An opener that records each start ("URL PID" per line in DIR/starts) and then stays until DIR/go exists (a
// handler that takes its time to start), installed as the opener for the life of the object. Its openers are let
// go at the end whatever happened, and keep none of the test's output open.
class SlowOpener {
 public:
  explicit SlowOpener(const std::filesystem::path& dir)
      : dir_(dir), environment_("TESSALY_URL_OPENER", (dir / "opener").native()) {
    writeFile(dir / "opener", "#!/bin/sh\n"
                              "exec >/dev/null 2>&1\n"
                              "dir=$(dirname \"$0\")\n"
                              "echo \"$1 $$\" >> \"$dir/starts\"\n"
                              "while [ -d \"$dir\" ] && [ ! -e \"$dir/go\" ]; do sleep 0.01; done\n");
    std::filesystem::permissions(dir / "opener", std::filesystem::perms::owner_all);
  }
  ~SlowOpener() {
    letGo();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // they look every 10 ms
  }
  void letGo() const { writeFile(dir_ / "go", ""); }
  std::size_t starts() const { return linesIn(dir_ / "starts"); }
  std::string log() const { return pathExists(dir_ / "starts") ? readFile(dir_ / "starts") : std::string(); }

 private:
  std::filesystem::path dir_;
  ScopedEnvironment environment_;
};

TEST(NSWorkspace, OpensTheUrlWithTheConfiguredOpenerWithoutWaitingForIt) {
  TemporaryDirectory dir;
  const auto opener = dir.path() / "opener";
  // The opener records what it was given and how it was started, then waits until the test lets it go.
  writeFile(opener,
            "#!/bin/sh\n"
            "echo $$ > \"$0.pid\"\n"
            // Builtins only, read before the shell forks anything: dash blocks signals around its forks.
            "while read -r key value; do [ \"$key\" = SigBlk: ] && echo \"$value\" > \"$0.mask\"; done"
            " < /proc/$$/status\n"
            "readlink /proc/$$/fd/0 > \"$0.stdin\"\n"
            "printf '%s' \"$1\" > \"$0.url.tmp\" && mv \"$0.url.tmp\" \"$0.url\"\n"
            "while [ ! -e \"$0.go\" ]; do sleep 0.01; done\n");
  std::filesystem::permissions(opener, std::filesystem::perms::owner_all);
  ScopedEnvironment environment("TESSALY_URL_OPENER", opener.native());

  // Even a caller that blocks the termination signals starts an opener that can be stopped.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  const bool opened = NSWorkspace::sharedWorkspace().openURL("tessaly://activate");
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ASSERT_TRUE(opened);

  // openURL returned while the opener still waits for "go".
  ASSERT_TRUE(eventually([&] { return pathExists(opener.native() + ".url"); }));
  EXPECT_EQ(readFile(opener.native() + ".url"), "tessaly://activate");
  EXPECT_EQ(readFile(opener.native() + ".mask"), "0000000000000000\n");
  EXPECT_EQ(readFile(opener.native() + ".stdin"), "/dev/null\n");
  const std::string pid = readFile(opener.native() + ".pid");
  const std::string proc = "/proc/" + pid.substr(0, pid.find('\n'));
  EXPECT_TRUE(pathExists(proc));

  // Once it ends it is reaped: no zombie stays behind.
  writeFile(opener.native() + ".go", "");
  EXPECT_TRUE(eventually([&] { return !pathExists(proc); }));
}

TEST(NSWorkspace, FailsWhenTheOpenerCannotBeStarted) {
  TemporaryDirectory dir;
  {
    ScopedEnvironment environment("TESSALY_URL_OPENER", (dir.path() / "missing").native());
    EXPECT_FALSE(NSWorkspace::sharedWorkspace().openURL("tessaly://activate"));
  }
  writeFile(dir.path() / "not-executable", "#!/bin/sh\n");
  ScopedEnvironment environment("TESSALY_URL_OPENER", (dir.path() / "not-executable").native());
  EXPECT_FALSE(NSWorkspace::sharedWorkspace().openURL("tessaly://activate"));
}

TEST(NSWorkspace, FallsBackToXdgOpenOnThePath) {
  TemporaryDirectory dir;
  writeFile(dir.path() / "xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > \"$(dirname \"$0\")/opened.tmp\"\n"
                                     "mv \"$(dirname \"$0\")/opened.tmp\" \"$(dirname \"$0\")/opened\"\n");
  std::filesystem::permissions(dir.path() / "xdg-open", std::filesystem::perms::owner_all);
  ScopedEnvironment opener("TESSALY_URL_OPENER", "");
  ScopedEnvironment path("PATH", dir.path().native() + ":/usr/bin:/bin");
  ASSERT_TRUE(NSWorkspace::sharedWorkspace().openURL("tessaly://activate?x=1"));
  ASSERT_TRUE(eventually([&] { return pathExists(dir.path() / "opened"); }));
  EXPECT_EQ(readFile(dir.path() / "opened"), "tessaly://activate?x=1");
}

// Launch services start a URL's handler once while it is being started: a storm of opens costs one opener, and
// one more after it so that the opens that came meanwhile are not lost; no thread is spent per open. Another
// URL is not held up by the first.
TEST(NSWorkspace, OpensOfAUrlWhoseOpenerStillRunsStartOneMoreOpenerOnceItEnds) {
  TemporaryDirectory dir;
  SlowOpener opener(dir.path());
  ASSERT_TRUE(NSWorkspace::sharedWorkspace().openURL("tessaly://activate"));
  ASSERT_TRUE(eventually([&] { return opener.starts() == 1; }));
  const std::size_t threads = threadCount();
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(NSWorkspace::sharedWorkspace().openURL("tessaly://activate"));
  EXPECT_LE(threadCount(), threads + 1);
  ASSERT_TRUE(NSWorkspace::sharedWorkspace().openURL("tessaly://other"));
  ASSERT_TRUE(eventually([&] { return opener.starts() == 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(opener.starts(), 2u) << opener.log();

  opener.letGo();
  ASSERT_TRUE(eventually([&] { return opener.starts() == 3; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::string log = opener.log();
  EXPECT_EQ(opener.starts(), 3u) << log;
  std::size_t activations = 0;
  for (std::size_t at = log.find("tessaly://activate "); at != std::string::npos;
       at = log.find("tessaly://activate ", at + 1)) {
    ++activations;
  }
  EXPECT_EQ(activations, 2u) << "two for activate, one for other: " << log;
  EXPECT_LE(threadCount(), threads + 1);
}

// An open owed to a URL whose opener still runs when the process ends is started at exit, and the opener in
// flight is left running.
TEST(NSWorkspace, AnOpenOwedWhenTheProcessEndsIsStartedAtExit) {
  TemporaryDirectory dir;
  SlowOpener opener(dir.path());
  testing::ChildProcess app(testing::testAppPath(), {"open", "tessaly://activate", "5"});
  EXPECT_EQ(app.readLine(), "opened");
  const std::optional<int> status = app.wait();
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  ASSERT_TRUE(eventually([&] { return opener.starts() == 2; })) << opener.log();
  const std::string first = opener.log().substr(0, opener.log().find('\n'));
  EXPECT_TRUE(pathExists("/proc/" + first.substr(first.find(' ') + 1))) << "the opener in flight was ended";
}

}  // namespace
}  // namespace tessaly::appkit
