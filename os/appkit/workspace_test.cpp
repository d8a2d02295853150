#include "tessaly/appkit/workspace.h"

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "tessaly/testing/child_process.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/signed_peers.h"

namespace tessaly::appkit {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::eventually;
using testing::readFile;
using testing::writeFile;

bool opens(const std::string& url) { return NSWorkspace::sharedWorkspace().openURL(url); }

std::size_t threadCount() {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()));
}

void writeScript(const fs::path& file, const std::string& body) {
  writeFile(file, "#!/bin/sh\n" + body);
  fs::permissions(file, fs::perms::owner_all);
}

// An opener, installed as TESSALY_URL_OPENER while the object lives, that records each start in its folder's file
// "starts" ("URL PID SIGNAL-MASK STANDARD-INPUT" a line), then stays until "go" is there (a handler slow to start).
// Its openers are let go at the end whatever happened, and keep none of the test's output open.
class SlowOpener {
 public:
  SlowOpener() {
    // The mask is read with builtins only, before the shell forks anything: dash blocks signals around forks.
    writeScript(dir_.path() / "opener",
                "while read -r key value; do [ \"$key\" = SigBlk: ] && mask=$value; done < /proc/$$/status\n"
                "stdin=$(readlink /proc/$$/fd/0)\n"
                "exec >/dev/null 2>&1\n"
                "echo \"$1 $$ $mask $stdin\" >> \"${0%/*}/starts\"\n"
                "while [ -d \"${0%/*}\" ] && [ ! -e \"${0%/*}/go\" ]; do sleep 0.01; done\n");
    ::setenv("TESSALY_URL_OPENER", (dir_.path() / "opener").c_str(), 1);
  }
  ~SlowOpener() {
    ::unsetenv("TESSALY_URL_OPENER");
    letGo();
    std::this_thread::sleep_for(100ms);  // they look every 10 ms
  }
  void letGo() const { writeFile(dir_.path() / "go", ""); }
  std::string log() const { return readFile(dir_.path() / "starts"); }
  std::size_t starts() const { return testing::occurrences(log(), "\n"); }
  // The words of the start numbered `index` from 0.
  std::vector<std::string> start(std::size_t index) const {
    std::istringstream in(testing::lines(log()).at(index));
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
  }

 private:
  testing::TemporaryDirectory dir_;  // the opener's folder: its script, its log of starts, and "go"
};

// An opener that is missing or cannot be run is a failure; with none configured, xdg-open on the PATH opens.
TEST(NSWorkspace, UsesTheConfiguredOpenerOrXdgOpen) {
  testing::TemporaryDirectory dir;
  writeFile(dir.path() / "not-executable", "#!/bin/sh\n");
  for (const char* opener : {"missing", "not-executable"}) {
    ::setenv("TESSALY_URL_OPENER", (dir.path() / opener).c_str(), 1);
    EXPECT_FALSE(opens("tessaly://activate")) << opener;
  }
  ::unsetenv("TESSALY_URL_OPENER");
  writeScript(dir.path() / "xdg-open",
              "printf '%s' \"$1\" > \"${0%/*}/opened.tmp\"\nmv \"${0%/*}/opened.tmp\" \"${0%/*}/opened\"\n");
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", (dir.path().native() + ":/usr/bin:/bin").c_str(), 1);
  const bool opened = opens("tessaly://activate?x=1");
  ::setenv("PATH", path.c_str(), 1);
  ASSERT_TRUE(opened);
  ASSERT_TRUE(eventually([&] { return fs::exists(dir.path() / "opened"); }));
  EXPECT_EQ(readFile(dir.path() / "opened"), "tessaly://activate?x=1");
}

// openURL starts the opener and returns without waiting for it, its signals unblocked even when the caller
// blocks the termination signals, its standard input /dev/null, and reaps it once it ends. Launch services start
// a URL's handler once while it is being started: a storm of opens costs one opener, and one more after it so
// that the opens that came meanwhile are not lost; no thread is spent per open. Another URL is not held up.
TEST(NSWorkspace, OpensOfAUrlWhoseOpenerStillRunsStartOneMoreOpenerOnceItEnds) {
  SlowOpener opener;
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  const bool opened = opens("tessaly://activate");
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ASSERT_TRUE(opened);
  ASSERT_TRUE(eventually([&] { return opener.starts() == 1; }));
  const std::vector<std::string> first = opener.start(0);
  EXPECT_EQ(first, (std::vector<std::string>{"tessaly://activate", first.at(1), "0000000000000000", "/dev/null"}));
  const std::size_t threads = threadCount();
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(opens("tessaly://activate"));
  EXPECT_LE(threadCount(), threads + 1);
  ASSERT_TRUE(opens("tessaly://other"));
  ASSERT_TRUE(eventually([&] { return opener.starts() == 2; }));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(opener.starts(), 2u) << opener.log();

  opener.letGo();
  ASSERT_TRUE(eventually([&] { return opener.starts() == 3; }));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(opener.starts(), 3u) << opener.log();
  EXPECT_EQ(testing::occurrences(opener.log(), "tessaly://activate "), 2u) << "two for activate, one for other";
  EXPECT_LE(threadCount(), threads + 1);
  EXPECT_TRUE(eventually([&] { return !fs::exists("/proc/" + first[1]); })) << "no zombie stays behind";
}

// An open owed to a URL whose opener still runs when the process ends is started at exit, and the opener in
// flight is left running.
TEST(NSWorkspace, AnOpenOwedWhenTheProcessEndsIsStartedAtExit) {
  SlowOpener opener;
  testing::ChildProcess app(testing::testAppPath(), {"open", "tessaly://activate", "5"});
  EXPECT_EQ(app.readLine(), "opened");
  const std::optional<int> status = app.wait();
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  ASSERT_TRUE(eventually([&] { return opener.starts() == 2; })) << opener.log();
  EXPECT_TRUE(fs::exists("/proc/" + opener.start(0)[1])) << "the opener in flight was ended";
}

}  // namespace
}  // namespace tessaly::appkit
