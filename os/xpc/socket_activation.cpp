#include "socket_activation.h"

#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>

namespace tessaly::xpc::detail {
namespace {

std::map<std::string, int> readActivatedSockets() {
  std::map<std::string, int> sockets;
  char** names = nullptr;
  const int count = ::sd_listen_fds_with_names(1, &names);
  for (int i = 0; i < count; ++i) {
    const int fd = SD_LISTEN_FDS_START + i;
    const std::string name = names != nullptr && names[i] != nullptr ? names[i] : "";
    if (::sd_is_socket_unix(fd, SOCK_STREAM, 1, nullptr, 0) > 0 && !sockets.contains(name)) {
      sockets.emplace(name, fd);
    } else {
      ::close(fd);  // nothing here will ever use it
    }
  }
  if (names != nullptr) {
    for (int i = 0; i < count; ++i) std::free(names[i]);
    std::free(names);
  }
  return sockets;
}

}  // namespace

std::optional<int> takeActivatedSocket(const std::string& serviceName) {
  static std::mutex mutex;
  static std::map<std::string, int> sockets = readActivatedSockets();
  std::lock_guard lock(mutex);
  const auto found = sockets.find(serviceName);
  if (found == sockets.end()) return std::nullopt;
  const int fd = found->second;
  sockets.erase(found);
  return fd;
}

}  // namespace tessaly::xpc::detail
