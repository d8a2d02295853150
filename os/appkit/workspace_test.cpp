#include "tessaly/appkit/workspace.h"

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "appkit_fixtures.h"

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

}  // namespace
}  // namespace tessaly::appkit
