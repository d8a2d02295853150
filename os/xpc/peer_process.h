// The process at the other end of a Unix socket, as the kernel reports it.
#pragma once

#include <sys/types.h>

#include <optional>

#include "unique_fd.h"

namespace tessaly::xpc::detail {

struct PeerProcess {
  pid_t pid = 0;
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
  // A pidfd for the peer: from SO_PEERPIDFD where the kernel has it (it names the very process that
  // connected), else from pidfd_open right after the connection was accepted. Invalid where neither works.
  UniqueFd pidfd;
  int pidfdError = 0;  // errno when no pidfd could be had

  // True when the pidfd shows that the process has ended, so that `pid` may already name another process.
  // Without a pidfd, falls back to kill(pid, 0), which cannot see a recycled identifier.
  bool hasExited() const noexcept;
};

// Reads the credentials of the peer of the connected socket `fd`.
std::optional<PeerProcess> readPeerProcess(int fd) noexcept;

}  // namespace tessaly::xpc::detail
