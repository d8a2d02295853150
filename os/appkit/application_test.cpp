#include "tessaly/appkit/application.h"

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "tessaly/testing/child_process.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/signed_peers.h"

namespace tessaly::appkit {
namespace {

using testing::ChildProcess;
using testing::testAppPath;

const std::string kLaunched = "launched NSApplicationDidFinishLaunchingNotification main=1";
const std::string kWillTerminate = "willTerminate NSApplicationWillTerminateNotification main=1";

void expectCleanExit(ChildProcess& child) {
  const std::optional<int> status = child.wait();
  ASSERT_TRUE(status.has_value()) << "the application did not end";
  EXPECT_TRUE(WIFEXITED(*status)) << "status " << *status;
  EXPECT_EQ(WEXITSTATUS(*status), 0);
}

TEST(NSApplication, TerminationSignalsRunWillTerminateOnTheMainThreadThenExit) {
  for (int signal : {SIGTERM, SIGINT}) {
    ChildProcess child(testAppPath(), {"app", "wait"});
    ASSERT_EQ(child.readLine(), kLaunched);
    child.signal(signal);
    EXPECT_EQ(child.readLine(), kWillTerminate) << "signal " << signal;
    expectCleanExit(child);
    EXPECT_EQ(child.readLine(), std::nullopt);
  }
}

TEST(NSApplication, TerminateFromAnotherThreadRunsOnTheMainThread) {
  ChildProcess child(testAppPath(), {"app", "thread"});
  EXPECT_EQ(child.readLine(), kLaunched);
  EXPECT_EQ(child.readLine(), kWillTerminate);
  expectCleanExit(child);
}

TEST(NSApplication, RequestsDuringTerminationAreIgnored) {
  ChildProcess child(testAppPath(), {"app", "reenter"});
  EXPECT_EQ(child.readLine(), kLaunched);
  EXPECT_EQ(child.readLine(), kWillTerminate);
  expectCleanExit(child);
  EXPECT_EQ(child.readLine(), std::nullopt);  // applicationWillTerminate: ran once
}

}  // namespace
}  // namespace tessaly::appkit
