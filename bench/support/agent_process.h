// The agent of the broker benchmarks, as a process of its own: an XPCServer that accepts every peer and takes
// one process for the desktop app.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "support/bare_socket.h"
#include "tessaly/broker/xpc_server.h"

namespace tessaly::bench {

// Publishes `serviceName` in `directory`, writes 'y' (or 'n' when it could not) to `readyFd` and serves until
// killed; it dies with the process that forked it. Call in a child forked before any thread started.
[[noreturn]] inline void runAgentProcess(pid_t desktopPid, int readyFd, const std::string& serviceName,
                                         const std::string& directory) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // Log lines cost a system call each, as they would going to the journal.
  ::setenv("TESSALY_LOG", "stderr", 1);
  const int devNull = ::open("/dev/null", O_WRONLY);
  ::dup2(devNull, STDERR_FILENO);
  broker::XPCServer::Dependencies dependencies;
  dependencies.validateRemoteProcess = [](pid_t) { return true; };  // once per connection; not what is measured
  dependencies.isApplicationWithBundleIdentifier = [desktopPid](pid_t pid) { return pid == desktopPid; };
  dependencies.mainBundleIdentifier = [serviceName] { return std::optional<std::string>(serviceName); };
  dependencies.serviceOptions.directory = directory;
  const auto server = broker::XPCServer::create(std::move(dependencies));
  server->start();
  writeFully(readyFd, server->counts().listening ? "y" : "n", 1);
  for (;;) ::pause();
}

}  // namespace tessaly::bench
