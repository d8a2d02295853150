// A host application that calls the updater service of another process:
//   platform_updater_peer DIR NAME TEXT   connects to the service NAME in the socket folder DIR, calls
//                                         runUpdateUsing: with TEXT, prints "sent" and waits to be ended.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tessaly/platform/updater_service.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: platform_updater_peer DIR NAME TEXT\n");
    return 2;
  }
  tessaly::xpc::ServiceOptions options;
  options.directory = argv[1];
  auto connection = tessaly::xpc::Connection::connectToService(argv[2], options);
  connection->setRemoteObjectInterface(tessaly::platform::TSUpdaterServiceProtocol::interface());
  connection->resume();
  tessaly::platform::TSUpdaterServiceProtocolProxy updater(connection->remoteObjectProxy());
  updater.runUpdateUsing(tessaly::xpc::Data::fromText(argv[3]));
  std::printf("sent\n");
  std::fflush(stdout);
  for (;;) ::pause();
}
