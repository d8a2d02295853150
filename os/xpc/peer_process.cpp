#include "peer_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <cerrno>

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77  // Linux 6.5 and later
#endif

namespace tessaly::xpc::detail {
namespace {

int openPidfd(pid_t pid) noexcept {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

}  // namespace

bool PeerProcess::hasExited() const noexcept {
  if (pidfd.valid()) {
    pollfd p{pidfd.get(), POLLIN, 0};
    // A pidfd becomes readable when its process terminates.
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP)) != 0;
  }
  return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
}

std::optional<PeerProcess> readPeerProcess(int fd) noexcept {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || length != sizeof credentials) {
    return std::nullopt;
  }
  PeerProcess peer;
  peer.pid = credentials.pid;
  peer.uid = credentials.uid;
  peer.gid = credentials.gid;
  int pidfd = -1;
  socklen_t pidfdLength = sizeof pidfd;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &pidfdLength) == 0 && pidfd >= 0) {
    peer.pidfd.reset(pidfd);
  } else if (peer.pid > 0) {
    const int opened = openPidfd(peer.pid);
    if (opened >= 0) {
      peer.pidfd.reset(opened);
    } else {
      peer.pidfdError = errno;
    }
  }
  return peer;
}

}  // namespace tessaly::xpc::detail
