#include "tessaly/testing/raw_peer.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tessaly/xpc/wire.h"

namespace tessaly::testing {

namespace wire = xpc::wire;

RawPeer::RawPeer(const std::string& path) {
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

RawPeer::~RawPeer() { ::close(fd_); }

bool RawPeer::write(const std::string& bytes) {
  return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool RawPeer::handshake() { return connected_ && write(helloFrame()) && welcomed(); }

bool RawPeer::welcomed() {
  const std::string expected = wire::OutgoingFrame::greeting(wire::FrameKind::welcome).flatten();
  std::string got(expected.size(), '\0');
  const timeval patience{20, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  return ::recv(fd_, got.data(), got.size(), MSG_WAITALL) == static_cast<ssize_t>(got.size()) && got == expected;
}

bool RawPeer::closedByPeer(std::chrono::milliseconds timeout) {
  char buffer[4096];
  return eventually(
      [&] {
        pollfd readable{fd_, POLLIN, 0};
        return ::poll(&readable, 1, 50) > 0 && ::recv(fd_, buffer, sizeof buffer, 0) <= 0;
      },
      timeout);
}

std::string helloFrame() { return wire::OutgoingFrame::greeting(wire::FrameKind::hello).flatten(); }

std::string messageFrame(std::string_view selector, xpc::Arguments values, std::uint64_t token) {
  return wire::OutgoingFrame::message(token, selector, std::move(values)).flatten();
}

}  // namespace tessaly::testing
