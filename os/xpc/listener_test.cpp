// Publishing names: live listeners keep them, stale sockets are replaced, long paths still work.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>

#include "tessaly/testing/child_process.h"
#include "test_support.h"

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

// A program this process starts, such as a URL opener, must not hold on to its sockets: a peer would not see
// the connection end while the program runs.
TEST(Listener, ProgramsStartedLaterInheritNoSocket) {
  TestService service;
  ASSERT_EQ(service.resume(), Error::none);
  TestClient client(service);
  ASSERT_EQ(client.echo("both ends are open"), "both ends are open");

  // The shell lists its own descriptors: what it inherited, and its standard streams (not sockets in run()).
  const tessaly::testing::RunResult listing = tessaly::testing::run("/bin/sh", {"-c", "ls -l /proc/$$/fd"});
  EXPECT_EQ(listing.standardOutput.find("socket:"), std::string::npos) << listing.standardOutput;
}

}  // namespace
}  // namespace tessaly::xpc::testing
