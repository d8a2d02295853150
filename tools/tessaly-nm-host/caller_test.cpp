#include "caller.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace tessaly::nmhost {
namespace {

// What the host's parent check answers in a process whose parent ends while the check runs: the parent is
// recognised (by the stand-in below) but gone by the time it answers, so the answer may be about another
// process with the same identifier. Runs as a grandchild, so that its parent can be made to end.
TEST(ParentProcess, AParentThatEndsDuringTheCheckIsNotTrusted) {
  int verdict[2];
  ASSERT_EQ(::pipe(verdict), 0);
  const pid_t parent = ::fork();
  ASSERT_GE(parent, 0);
  if (parent == 0) {
    if (::fork() == 0) {
      std::string why;
      std::optional<ParentProcess> captured = ParentProcess::capture(why);
      char answer = 'x';
      if (captured) {
        const bool before = captured->isBrowser([](pid_t) { return true; });
        // The check in progress when the parent ends: it answers once this process has another parent.
        const bool during = captured->isBrowser([&](pid_t pid) {
          ::kill(pid, SIGKILL);
          for (int i = 0; i < 10'000 && ::getppid() == pid; ++i) ::usleep(1'000);
          return true;
        });
        answer = before ? (during ? 'T' : 'F') : 'n';
      }
      [[maybe_unused]] const ssize_t written = ::write(verdict[1], &answer, 1);
      ::_exit(0);
    }
    for (;;) ::pause();  // ended by its child, as above
  }
  ::close(verdict[1]);
  char answer = 0;
  ASSERT_EQ(::read(verdict[0], &answer, 1), 1);
  ::waitpid(parent, nullptr, 0);
  EXPECT_EQ(answer, 'F') << "T: trusted a parent that had ended; n: did not trust a live parent; x: no capture";
}

}  // namespace
}  // namespace tessaly::nmhost
