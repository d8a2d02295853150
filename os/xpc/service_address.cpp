#include "service_address.h"

#include <fcntl.h>
#include <sys/un.h>

namespace tessaly::xpc::detail {

std::optional<ServiceAddress> makeServiceAddress(const std::string& directory, const std::string& name) {
  constexpr std::size_t kLongestPath = sizeof(sockaddr_un::sun_path) - 1;
  ServiceAddress address;
  std::string path = directory + "/" + name;
  if (path.size() > kLongestPath) {
    address.directory.reset(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!address.directory.valid()) return std::nullopt;
    path = "/proc/self/fd/" + std::to_string(address.directory.get()) + "/" + name;
    if (path.size() > kLongestPath) return std::nullopt;
  }
  address.endpoint = asio::local::stream_protocol::endpoint(path);
  return address;
}

}  // namespace tessaly::xpc::detail
