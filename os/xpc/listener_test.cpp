// Publishing names: live listeners keep them, stale sockets are replaced, long paths still work.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "tessaly/testing/child_process.h"
#include "test_support.h"

extern char** environ;

namespace tessaly::xpc::testing {
namespace {

bool isSocket(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

TEST(Listener, ALiveListenerKeepsItsNameUntilItIsInvalidated) {
  TestService service;
  ASSERT_EQ(service.resume(), Error::none);
  TestClient client(service);
  ASSERT_EQ(client.echo("first"), "first");

  const std::shared_ptr<Listener> rival = Listener::create(service.name(), service.options());
  EXPECT_EQ(rival->resume(), Error::service_in_use);
  EXPECT_EQ(TestClient(service).echo("reached the first"), "reached the first");

  const std::string path = service.listener().socketPath();
  service.listener().invalidate();
  EXPECT_FALSE(isSocket(path));
  EXPECT_EQ(client.echo("accepted connections outlive their listener"), "accepted connections outlive their listener");
  EXPECT_EQ(rival->resume(), Error::none);
  EXPECT_TRUE(isSocket(path));
  rival->invalidate();
}

TEST(Listener, AStaleSocketIsReplacedButOtherFilesAreLeftAlone) {
  TemporaryDirectory directory;
  {
    // A socket whose owner is gone: bound, then closed without removing it.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    (directory.path().native() + "/com.tessaly.stale").copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
  }
  TestService stale("com.tessaly.stale", {}, directory.path());
  ASSERT_EQ(stale.resume(), Error::none);
  EXPECT_EQ(TestClient(stale).echo("replaced"), "replaced");

  std::ofstream(directory.path().native() + "/com.tessaly.file") << "precious";
  TestService blocked("com.tessaly.file", {}, directory.path());
  EXPECT_EQ(blocked.resume(), Error::directory_unusable);
  std::string content;
  std::ifstream(directory.path().native() + "/com.tessaly.file") >> content;
  EXPECT_EQ(content, "precious");
}

TEST(Listener, WorksWhereThePathIsTooLongForASocketAddress) {
  TemporaryDirectory base;
  const std::string deep = base.path().native() + "/" + std::string(60, 'd') + "/" + std::string(60, 'e');
  ASSERT_GT(deep.size(), sizeof(sockaddr_un::sun_path));
  TestService service("com.tessaly.deep", {}, deep);
  ASSERT_EQ(service.resume(), Error::none);
  EXPECT_TRUE(isSocket(deep + "/com.tessaly.deep"));
  EXPECT_EQ(TestClient(service).echo("deep"), "deep");
}

TEST(Listener, BadNamesAreRefusedAtBothEnds) {
  TestService service("../escape");
  EXPECT_EQ(service.resume(), Error::invalid_service_name);
  TestClient client(service);
  ASSERT_TRUE(eventually([&] { return client.invalidations() == 1; }));
  EXPECT_EQ(client.connection->invalidationReason(), Error::invalid_service_name);
}

// A program this process starts, such as a URL opener, must not hold on to its sockets: a peer would not see
// the connection end while the program runs.
TEST(Listener, ProgramsStartedLaterInheritNoSocket) {
  TestService service;
  ASSERT_EQ(service.resume(), Error::none);
  TestClient client(service);
  ASSERT_EQ(client.echo("both ends are open"), "both ends are open");

  const std::string listing = tessaly::testing::run("/bin/ls", {"-l", "/proc/self/fd/"}).standardOutput;

  // Lines look like "lrwx------ 1 u g 64 Jan 1 00:00 3 -> socket:[123]"; standard streams are not ours to judge.
  std::istringstream lines(listing);
  int inheritedSockets = 0;
  for (std::string line; std::getline(lines, line);) {
    const std::size_t arrow = line.find(" -> ");
    if (arrow == std::string::npos) continue;
    const std::size_t number = line.rfind(' ', arrow - 1) + 1;
    if (std::stoi(line.substr(number, arrow - number)) > 2 && line.find("socket:", arrow) != std::string::npos) {
      ++inheritedSockets;
      ADD_FAILURE() << line;
    }
  }
  EXPECT_EQ(inheritedSockets, 0);
}

}  // namespace
}  // namespace tessaly::xpc::testing
