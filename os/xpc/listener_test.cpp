// Publishing names: live listeners keep them, stale sockets are replaced, long paths still work.
#include <gtest/gtest.h>
#include <sys/un.h>

#include <filesystem>

#include "tessaly/testing/child_process.h"
#include "test_support.h"

namespace tessaly::xpc::testing {
namespace {

bool isSocket(const std::string& path) { return std::filesystem::is_socket(std::filesystem::symlink_status(path)); }

TEST(Listener, ALiveListenerKeepsItsNameUntilItIsInvalidated) {
  TestService service;
  TestClient client(service.started());
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

// A stale socket is replaced: Process.AServiceThatDiesInterruptsItsClientsAndARestartTakesOverItsName.
TEST(Listener, AFileThatIsNotASocketIsLeftAlone) {
  TemporaryDirectory directory;
  writeFile(directory.path() / "com.tessaly.file", "precious");
  TestService blocked("com.tessaly.file", {}, directory.path());
  EXPECT_EQ(blocked.resume(), Error::directory_unusable);
  EXPECT_EQ(readFile(directory.path() / "com.tessaly.file"), "precious");
}

TEST(Listener, WorksWhereThePathIsTooLongForASocketAddress) {
  TemporaryDirectory base;
  const std::string deep = base.path().native() + "/" + std::string(60, 'd') + "/" + std::string(60, 'e');
  ASSERT_GT(deep.size(), sizeof(sockaddr_un::sun_path));
  TestService service("com.tessaly.deep", {}, deep);
  EXPECT_EQ(TestClient(service.started()).echo("deep"), "deep");
  EXPECT_TRUE(isSocket(deep + "/com.tessaly.deep"));
}

// A program this process starts, such as a URL opener, must not hold on to its sockets: a peer would not see
// the connection end while the program runs.
TEST(Listener, ProgramsStartedLaterInheritNoSocket) {
  TestService service;
  TestClient client(service.started());
  ASSERT_EQ(client.echo("both ends are open"), "both ends are open");

  // The shell lists its own descriptors: what it inherited, and its standard streams (not sockets in run()).
  const tessaly::testing::RunResult listing = tessaly::testing::run("/bin/sh", {"-c", "ls -l /proc/$$/fd"});
  EXPECT_EQ(listing.standardOutput.find("socket:"), std::string::npos) << listing.standardOutput;
}

}  // namespace
}  // namespace tessaly::xpc::testing
