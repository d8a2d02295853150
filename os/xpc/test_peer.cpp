// A second process for the IPC tests: a service or a client that runs until it is killed.
//   xpc_test_peer serve DIR NAME    publishes the test service, prints "ready"
//   xpc_test_peer client DIR NAME   connects, prints "connected" once its echo is answered
//   xpc_test_peer activated DIR NAME  like serve (with a socket passed by systemd, if any); invalidates the
//                                     listener when standard input ends and prints "withdrawn"
//   xpc_test_peer limited DIR NAME N  like serve with a soft limit of N open files and a minute for peers to
//                                     greet; its delegate first opens 8 files (a code-signature check opens a few)
//                                     and refuses the peer, printing "delegate out of descriptors", when it
//                                     cannot; log lines go to standard output
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "test_support.h"

using namespace tessaly::xpc;

namespace {

// What a delegate that checks code needs: a few files open at once.
bool delegateCanOpenFiles() {
  std::vector<int> opened;
  bool enough = true;
  for (int i = 0; i < 8 && enough; ++i) {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    enough = fd >= 0;
    if (enough) opened.push_back(fd);
  }
  for (const int fd : opened) ::close(fd);
  if (!enough) {
    std::printf("delegate out of descriptors\n");
    std::fflush(stdout);
  }
  return enough;
}

int serve(const std::string& directory, const std::string& name, bool untilEndOfInput, bool limited = false) {
  ServiceOptions options;
  options.directory = directory;
  if (limited) options.limits.handshakeTimeout = std::chrono::minutes(1);
  auto object = std::make_shared<MethodTable>();
  auto held = std::make_shared<testing::Collected<ReplyBlock>>();
  object->on("echo:reply:", [](Invocation& call) { call.reply()(call.data(0)); })
      .on("hold:reply:", [held](Invocation& call) { held->add(call.reply()); });
  auto listener = Listener::create(name, options);
  listener->setDelegate(std::make_shared<testing::FunctionDelegate>(
      [object, limited](Listener&, const std::shared_ptr<Connection>& connection) {
        if (limited && !delegateCanOpenFiles()) return false;
        connection->setExportedInterface(testing::serviceInterface());
        connection->setExportedObject(object);
        connection->resume();
        return true;
      }));
  if (listener->resume() != Error::none) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  if (!untilEndOfInput) {
    for (;;) ::pause();
  }
  char byte;
  while (::read(STDIN_FILENO, &byte, 1) > 0) {}
  listener->invalidate();
  std::printf("withdrawn\n");
  std::fflush(stdout);
  for (;;) ::pause();
}

int client(const std::string& directory, const std::string& name) {
  ServiceOptions options;
  options.directory = directory;
  auto connection = Connection::connectToService(name, options);
  connection->setRemoteObjectInterface(testing::serviceInterface());
  connection->resume();
  connection->remoteObjectProxy().send("echo:reply:", {Data::fromText("hello")}, [](const Arguments&) {
    std::printf("connected\n");
    std::fflush(stdout);
  });
  for (;;) ::pause();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "limited") {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::stoul(argv[4]);
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
    ::dup2(STDOUT_FILENO, STDERR_FILENO);
    ::setenv("TESSALY_LOG", "stderr", 1);
    return serve(argv[2], argv[3], false, true);
  }
  if (argc != 4) return 2;
  const std::string mode = argv[1];
  if (mode == "serve") return serve(argv[2], argv[3], false);
  if (mode == "activated") return serve(argv[2], argv[3], true);
  if (mode == "client") return client(argv[2], argv[3]);
  return 2;
}
