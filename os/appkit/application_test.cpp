#include "tessaly/appkit/application.h"

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "tessaly/testing/child_process.h"
#include "tessaly/testing/signed_peers.h"

namespace tessaly::appkit {
namespace {

using testing::ChildProcess;
using testing::testAppPath;

// However termination is asked for (a termination signal, a call from another thread, a second request from
// applicationWillTerminate: itself), applicationWillTerminate: runs once, on the main thread, and the process
// then exits with status 0.
TEST(NSApplication, TerminationRunsWillTerminateOnceOnTheMainThreadThenExits) {
  struct Case {
    const char* mode;
    int signal;  // sent once launched; 0: none
  };
  for (const Case& c : {Case{"wait", SIGTERM}, Case{"wait", SIGINT}, Case{"thread", 0}, Case{"reenter", 0}}) {
    SCOPED_TRACE(std::string(c.mode) + " signal " + std::to_string(c.signal));
    ChildProcess child(testAppPath(), {"app", c.mode});
    ASSERT_EQ(child.readLine(), "launched NSApplicationDidFinishLaunchingNotification main=1");
    if (c.signal != 0) child.signal(c.signal);
    EXPECT_EQ(child.readLine(), "willTerminate NSApplicationWillTerminateNotification main=1");
    const std::optional<int> status = child.wait();
    ASSERT_TRUE(status.has_value()) << "the application did not end";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "status " << *status;
    EXPECT_EQ(child.readLine(), std::nullopt);
  }
}

}  // namespace
}  // namespace tessaly::appkit
