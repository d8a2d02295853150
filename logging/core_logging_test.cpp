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

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "tessaly/testing/files.h"
#include "tessaly/testing/standard_error.h"

namespace {

using tessaly::logging::CoreLogging;

using tessaly::testing::lines;
using tessaly::testing::StandardErrorCapture;

// Each line carries the priority prefix that systemd reads on a service's standard error: error lines stand
// apart from ordinary ones.
TEST(CoreLogging, StandardErrorGetsThePriorityAndTheMessageTextOneLineEach) {
  ::setenv("TESSALY_LOG", "stderr", 1);
  StandardErrorCapture capture;
  CoreLogging::log("Starting listener", "apple/macOS/Browser Helper/XPCServer", "start()", 10);
  CoreLogging::error("Failed to encode app quit notification", "f", "notifyExtensionsOfMainAppDisconnection()", 11);
  CoreLogging::log("%d extensions, %s", "f", "g", 12, 3, "connected");
  CoreLogging::log("", nullptr, nullptr, 0);
  EXPECT_EQ(lines(capture.text()),
            (std::vector<std::string>{"<6>Starting listener", "<3>Failed to encode app quit notification",
                                      "<6>3 extensions, connected", "<6>"}));
}

// Runs `body` in a child process that has its own mount namespace with an empty /run, where it listens on the
// journal's socket as the journal would. The child writes what arrived on that socket to `received`. Returns
// false when this machine does not allow such a namespace.
bool withPrivateJournal(std::vector<std::string>& received, void (*body)()) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return false;
  const uid_t uid = ::getuid();
  const gid_t gid = ::getgid();
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeFds[0]);
    auto fail = [&](char code) {
      ::write(pipeFds[1], &code, 1);
      ::_exit(3);
    };
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) fail('u');
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
    std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail('m');
    if (::mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0) fail('m');
    ::mkdir("/run/systemd", 0755);
    ::mkdir("/run/systemd/journal", 0755);
    const int journal = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/run/systemd/journal/socket");
    if (::bind(journal, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail('b');
    ::unsetenv("TESSALY_LOG");
    body();
    char ok = 'y';
    ::write(pipeFds[1], &ok, 1);
    std::vector<char> buffer(1 << 16);
    timeval timeout{5, 0};
    ::setsockopt(journal, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    for (;;) {
      const ssize_t n = ::recv(journal, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n <= 0) break;
      const std::uint32_t length = static_cast<std::uint32_t>(n);
      ::write(pipeFds[1], &length, sizeof length);
      ::write(pipeFds[1], buffer.data(), length);
    }
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  char status = 0;
  bool usable = ::read(pipeFds[0], &status, 1) == 1 && status == 'y';
  std::uint32_t length = 0;
  while (usable && ::read(pipeFds[0], &length, sizeof length) == sizeof length) {
    std::string datagram(length, '\0');
    if (::read(pipeFds[0], datagram.data(), length) != static_cast<ssize_t>(length)) break;
    received.push_back(datagram);
  }
  ::close(pipeFds[0]);
  int exitStatus = 0;
  ::waitpid(child, &exitStatus, 0);
  return usable;
}

std::set<std::string> fieldsOf(const std::string& datagram) {
  std::set<std::string> fields;
  for (const std::string& line : lines(datagram)) fields.insert(line);
  return fields;
}

TEST(CoreLogging, JournalEntriesCarryFileFunctionLineAndPriority) {
  std::vector<std::string> received;
  const bool usable = withPrivateJournal(received, [] {
    CoreLogging::log("Resuming the listener", "apple/macOS/Browser Helper/XPCServer", "start()", 97);
    CoreLogging::error("Failed to encode app quit notification", "apple/macOS/Browser Helper/XPCServer",
                       "notifyExtensionsOfMainAppDisconnection()", 311);
  });
  if (!usable) GTEST_SKIP() << "this machine allows no private mount namespace";
  ASSERT_EQ(received.size(), 2u);
  const std::set<std::string> ordinary = fieldsOf(received[0]);
  EXPECT_TRUE(ordinary.count("MESSAGE=Resuming the listener"));
  EXPECT_TRUE(ordinary.count("PRIORITY=6"));
  EXPECT_TRUE(ordinary.count("CODE_FILE=apple/macOS/Browser Helper/XPCServer"));
  EXPECT_TRUE(ordinary.count("CODE_FUNC=start()"));
  EXPECT_TRUE(ordinary.count("CODE_LINE=97"));
  const std::set<std::string> error = fieldsOf(received[1]);
  EXPECT_TRUE(error.count("MESSAGE=Failed to encode app quit notification"));
  EXPECT_TRUE(error.count("PRIORITY=3"));
  EXPECT_TRUE(error.count("CODE_FUNC=notifyExtensionsOfMainAppDisconnection()"));
  EXPECT_TRUE(error.count("CODE_LINE=311"));
}

}  // namespace
