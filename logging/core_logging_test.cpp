#include "tessaly/logging/core_logging.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "tessaly/testing/files.h"
#include "tessaly/testing/standard_error.h"

namespace {

using tessaly::logging::CoreLogging;
using tessaly::testing::lines;

// Each line carries the priority prefix that systemd reads on a service's standard error: error lines stand
// apart from ordinary ones.
TEST(CoreLogging, StandardErrorGetsThePriorityAndTheMessageTextOneLineEach) {
  ::setenv("TESSALY_LOG", "stderr", 1);
  tessaly::testing::StandardErrorCapture capture;
  CoreLogging::log("Listening", "f", "g", 10);
  CoreLogging::error("Failed to encode", "f", "g", 11);
  CoreLogging::log("%d extensions, %s", "f", "g", 12, 3, "connected");
  CoreLogging::log("", nullptr, nullptr, 0);
  EXPECT_EQ(lines(capture.text()),
            (std::vector<std::string>{"<6>Listening", "<3>Failed to encode", "<6>3 extensions, connected", "<6>"}));
}

// A child with an empty /run of its own listens on the journal's socket, logs an error line and sends back 'y'
// (its namespaces could be made) and the datagram. Each operation's priority is checked on standard error above.
TEST(CoreLogging, JournalEntriesCarryFileFunctionLineAndPriority) {
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const std::string userMap = "0 " + std::to_string(::getuid()) + " 1";
  const std::string groupMap = "0 " + std::to_string(::getgid()) + " 1";
  const pid_t child = ::fork();
  if (child == 0) {
    const int journal = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = "/run/systemd/journal/socket"};
    bool usable = ::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0;
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << userMap;
    std::ofstream("/proc/self/gid_map") << groupMap;
    usable = usable && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
             ::mount("tmpfs", "/run", "tmpfs", 0, nullptr) == 0 && ::mkdir("/run/systemd", 0755) == 0 &&
             ::mkdir("/run/systemd/journal", 0755) == 0 &&
             ::bind(journal, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (::write(out[1], usable ? "y" : "n", 1) != 1 || !usable) ::_exit(0);  // nothing for this machine's journal
    ::unsetenv("TESSALY_LOG");
    CoreLogging::error("Failed to encode", "logging/core_logging_test", "notify()", 311);
    char buffer[1 << 16];
    const ssize_t n = ::recv(journal, buffer, sizeof buffer, MSG_DONTWAIT);
    (void)!::write(out[1], buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    ::_exit(0);
  }
  ::close(out[1]);
  std::string received;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
    received.append(buffer, static_cast<std::size_t>(n));
  ::close(out[0]);
  ::waitpid(child, nullptr, 0);
  if (received.empty() || received[0] != 'y') GTEST_SKIP() << "this machine allows no private mount namespace";
  const std::vector<std::string> fields = lines(received.substr(1));
  for (const char* field : {"MESSAGE=Failed to encode", "PRIORITY=3", "CODE_FILE=logging/core_logging_test",
                            "CODE_FUNC=notify()", "CODE_LINE=311"}) {
    EXPECT_EQ(std::count(fields.begin(), fields.end(), field), 1) << field;
  }
}

}  // namespace
