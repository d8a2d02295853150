// Peers in other processes: death on either side, stale sockets, and peers that exit before acceptance.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tessaly/testing/child_process.h"
#include "test_support.h"

namespace tessaly::xpc::testing {
namespace {

// xpc_test_peer (or `program`) in a process of its own, its standard output read line by line.
class PeerProcess : public tessaly::testing::ChildProcess {
 public:
  explicit PeerProcess(const std::vector<std::string>& arguments, const std::string& program = XPC_TEST_PEER)
      : ChildProcess(program, arguments) {}

  bool awaitLine(const std::string& expected) { return readLine(kPatience) == expected; }

  // Seconds of processor time the process has used so far.
  double cpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14 || i == 15) ticks += std::stoul(field);  // utime, stime
    }
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
};

// xpc_test_peer started the way systemd starts a socket-activated service: the listening socket as descriptor 3,
// and LISTEN_PID, LISTEN_FDS and LISTEN_FDNAMES describing it. A shell sets them up and becomes the peer, so
// that LISTEN_PID is the peer's own identifier.
std::unique_ptr<PeerProcess> startActivated(int listeningSocket, const std::string& directory, const std::string& name,
                                            const std::string& fdName) {
  ::fcntl(listeningSocket, F_SETFD, 0);
  auto peer = std::make_unique<PeerProcess>(
      std::vector<std::string>{
          "-c", R"(exec 3<&"$0"; export LISTEN_PID=$$ LISTEN_FDS=1 LISTEN_FDNAMES="$1"; shift; exec "$@")",
          std::to_string(listeningSocket), fdName, XPC_TEST_PEER, "activated", directory, name},
      "/bin/sh");
  ::fcntl(listeningSocket, F_SETFD, FD_CLOEXEC);
  return peer;
}

ino_t inodeAt(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// systemd passes the listening socket under the service's name, or (systemd-socket-activate without --fdname, a
// unit that names it otherwise) under another: the socket at the service's path is the service's all the same.
// The client whose connection started the process waits in its backlog and must be served, not dropped with a
// socket closed for its name; withdrawing the service leaves systemd's socket in place for the next start.
TEST(Process, AListenerAdoptsTheSocketSystemdPassesAtItsPathWithItsWaitingClientAndLeavesItInPlace) {
  const std::string name = "com.tessaly.activated";
  for (const std::string& fdName : {name, std::string("unknown")}) {
    SCOPED_TRACE(fdName);
    TemporaryDirectory directory;
    const std::string path = directory.path().native() + "/" + name;
    const int socket = listenAt(path);
    ASSERT_GE(socket, 0);
    const ino_t socketInode = inodeAt(path);
    // The first peer, which makes systemd start the service. It greets at once: before the service has set the
    // socket to stamp what peers send with their credentials.
    RawPeer waiting(path);
    ASSERT_TRUE(waiting.connected());
    ASSERT_TRUE(waiting.write(helloFrame()));

    const auto peer = startActivated(socket, directory.path(), name, fdName);
    ::close(socket);  // from now on only the service holds it
    ASSERT_TRUE(peer->awaitLine("ready"));
    EXPECT_TRUE(waiting.welcomed()) << "the client that caused the start was dropped";
    EXPECT_EQ(TestClient(name, inDirectory(directory.path())).echo("on demand"), "on demand");
    peer->closeInput();
    ASSERT_TRUE(peer->awaitLine("withdrawn"));
    EXPECT_EQ(inodeAt(path), socketInode);
  }
}

TEST(Process, AServiceThatDiesInterruptsItsClientsAndARestartTakesOverItsName) {
  TemporaryDirectory directory;
  const std::string name = "com.tessaly.restart";
  auto first = std::make_unique<PeerProcess>(std::vector<std::string>{"serve", directory.path(), name});
  ASSERT_TRUE(first->awaitLine("ready"));
  TestClient client(name, inDirectory(directory.path()));
  ASSERT_EQ(client.echo("one"), "one");
  EXPECT_EQ(client.connection->processIdentifier(), first->pid());
  std::atomic<int> replies{0};
  client.proxy.send("hold:reply:", {bytes("q")}, [&](const Arguments&) { ++replies; });
  ASSERT_EQ(client.echo("held"), "held");  // the hold has been handled by now

  first->stop();
  ASSERT_TRUE(eventually([&] { return client.interruptions() == 1; }));
  EXPECT_EQ(client.awaitErrors(1), std::vector{Error::connection_interrupted});
  EXPECT_EQ(client.invalidations(), 0);
  EXPECT_TRUE(std::filesystem::is_socket(directory.path() / name));  // the dead service's, taken over below

  // While nobody listens, a message fails but the connection stays usable.
  client.proxy.send("post:", {bytes("nobody")});
  EXPECT_EQ(client.awaitErrors(2), (std::vector{Error::connection_interrupted, Error::service_unavailable}));
  EXPECT_EQ(client.invalidations(), 0);

  PeerProcess second({"serve", directory.path(), name});
  ASSERT_TRUE(second.awaitLine("ready"));
  EXPECT_EQ(client.echo("two"), "two");
  EXPECT_EQ(client.connection->processIdentifier(), second.pid());
  EXPECT_EQ(client.interruptions(), 1);
  EXPECT_EQ(replies, 0);
}

TEST(Process, APeerThatExitsBeforeItIsAcceptedIsRefused) {
  TestService service;
  std::atomic<int> handled{0};
  std::atomic<pid_t> child{-1};
  std::atomic<int> childStatus{-1};
  service.methods().on("post:", [&](Invocation&) { ++handled; });
  // The delegate decides only once the peer is gone and reaped, when its identifier is free for reuse.
  service.state().accept = [&](const std::shared_ptr<Connection>& connection) {
    EXPECT_TRUE(eventually([&] { return child.load() > 0; }));
    EXPECT_EQ(connection->processIdentifier(), child.load());
    int status = 0;
    ::waitpid(child.load(), &status, 0);
    childStatus = status;
    return true;
  };
  ASSERT_EQ(service.resume(), Error::none);

  // The child greets, sends a message and exits; only system calls run after fork.
  const std::string bytesToSend = helloFrame() + messageFrame("post:", {bytes("ghost")});
  const sockaddr_un address = socketAddress(service.listener().socketPath());
  const pid_t forked = ::fork();
  ASSERT_GE(forked, 0);
  if (forked == 0) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) ::_exit(1);
    if (::write(fd, bytesToSend.data(), bytesToSend.size()) != static_cast<ssize_t>(bytesToSend.size())) ::_exit(1);
    ::_exit(0);
  }
  child = forked;
  ASSERT_TRUE(eventually([&] { return service.state().connections.size() == 1; }));
  ASSERT_TRUE(eventually([&] { return service.connection(0)->invalidationReason() != Error::none; }));
  EXPECT_EQ(childStatus, 0);
  EXPECT_EQ(service.connection(0)->invalidationReason(), Error::connection_refused);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(handled, 0);
}

// A service out of file descriptors, flooded by sockets that never greet: it makes room by dropping those,
// says plainly in its log why it could not accept, keeps the descriptors a delegate needs to check a peer, and
// does not spin while it waits. Peers that greet are served all along.
TEST(Process, OutOfDescriptorsAServiceShedsSilentSocketsAndStillServesItsPeers) {
#if defined(__SANITIZE_ADDRESS__)
  // UndefinedBehaviorSanitizer probes memory through a pipe when it checks a dynamic type; in a process out of
  // descriptors the probe fails and it reports objects as invalid that are not.
  GTEST_SKIP() << "the sanitizer's runtime cannot work in a process out of descriptors";
#endif
  TemporaryDirectory directory;
  const std::string name = "com.tessaly.limited";
  PeerProcess service({"limited", directory.path(), name, "160"});
  ASSERT_TRUE(service.awaitLine("ready"));
  Collected<std::string> log;  // read all along, so that the service never waits for its log to be read
  std::thread reader([&] {
    while (std::optional<std::string> line = service.readLine(std::chrono::seconds(60))) log.add(*line);
  });
  // The flood goes on while the peers connect: at most 600 silent sockets open here at a time.
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    std::deque<std::unique_ptr<RawPeer>> silent;
    while (flooding) {
      silent.push_back(std::make_unique<RawPeer>(directory.path().native() + "/" + name));
      if (silent.size() > 600) silent.pop_front();
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const ServiceOptions options = inDirectory(directory.path());
  for (int i = 0; i < 5; ++i) {
    TestClient client(name, options);
    EXPECT_EQ(client.echo("still served"), "still served") << "peer " << i;
  }
  flooding = false;
  flood.join();
  const auto said = [&](std::string_view text) {
    const std::vector<std::string> lines = log.values();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(text) != line.npos; });
  };
  EXPECT_TRUE(said("cannot accept: this process is out of file descriptors")) << "no plain reason in the log";
  if (::testing::Test::HasFailure()) {
    for (const std::string& line : log.values()) {
      if (!line.starts_with("<6>")) std::fprintf(stderr, "service: %s\n", line.c_str());  // errors and crashes
    }
  }

  // Out of descriptors, all taken by peers that greeted, and more waiting to be accepted: the service waits
  // without spinning.
  std::vector<std::unique_ptr<TestClient>> greeted;
  for (int i = 0; i < 80; ++i) {
    greeted.push_back(std::make_unique<TestClient>(name, options));
    greeted.back()->proxy.send("post:", {Data::fromText("here")});
  }
  std::vector<std::unique_ptr<RawPeer>> waiting;
  for (int i = 0; i < 50; ++i) waiting.push_back(std::make_unique<RawPeer>(directory.path().native() + "/" + name));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double before = service.cpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_LT(service.cpuSeconds() - before, 0.6) << "a loop that retries at once takes a whole core";
  // The last peers accepted took the last descriptors; their checks had the reserve to work with.
  EXPECT_FALSE(said("delegate out of descriptors")) << "a delegate was left without descriptors";
  service.stop();
  reader.join();
}

}  // namespace
}  // namespace tessaly::xpc::testing
