#include "socket_activation.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "xpc_log.h"

namespace tessaly::xpc::detail {
namespace {

struct PassedSocket {
  std::string name;
  int fd = -1;
};

std::vector<PassedSocket> readActivatedSockets() {
  std::vector<PassedSocket> sockets;
  char** names = nullptr;
  const int count = ::sd_listen_fds_with_names(1, &names);
  for (int i = 0; i < count; ++i) {
    const int fd = SD_LISTEN_FDS_START + i;
    const std::string name = names != nullptr && names[i] != nullptr ? names[i] : "";
    if (::sd_is_socket_unix(fd, SOCK_STREAM, 1, nullptr, 0) > 0) {
      sockets.push_back(PassedSocket{name, fd});
    } else {
      logError("listener", "systemd passed descriptor " + std::to_string(fd) + " (" + name +
                               "), which is not a listening Unix stream socket; closed");
      ::close(fd);  // nothing here could ever use it
    }
  }
  if (names != nullptr) {
    for (int i = 0; i < count; ++i) std::free(names[i]);
    std::free(names);
  }
  return sockets;
}

// True when the listening socket `fd` is bound at the file `path` (compared by identity, so that different
// spellings of one path match).
bool boundAt(int fd, const std::string& path) {
  sockaddr_un address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      length <= offsetof(sockaddr_un, sun_path) || address.sun_path[0] == '\0') {
    return false;
  }
  const std::string bound(address.sun_path, ::strnlen(address.sun_path, length - offsetof(sockaddr_un, sun_path)));
  struct stat theirs {};
  struct stat ours {};
  return ::stat(bound.c_str(), &theirs) == 0 && ::stat(path.c_str(), &ours) == 0 && theirs.st_dev == ours.st_dev &&
         theirs.st_ino == ours.st_ino;
}

}  // namespace

std::optional<int> takeActivatedSocket(const std::string& serviceName, const std::string& path) {
  static std::mutex mutex;
  static std::vector<PassedSocket> sockets = readActivatedSockets();
  std::lock_guard lock(mutex);
  auto found = sockets.end();
  for (auto it = sockets.begin(); it != sockets.end() && found == sockets.end(); ++it) {
    if (it->name == serviceName) found = it;
  }
  for (auto it = sockets.begin(); it != sockets.end() && found == sockets.end(); ++it) {
    if (boundAt(it->fd, path)) {
      found = it;
      logInfo("listener", serviceName + ": systemd passed the service's socket under the name \"" + it->name +
                              "\"; adopted by its path");
    }
  }
  if (found == sockets.end()) return std::nullopt;
  const int fd = found->fd;
  sockets.erase(found);
  return fd;
}

}  // namespace tessaly::xpc::detail
