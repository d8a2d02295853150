// The socket address of a named service inside its directory.
#pragma once

#include <asio/local/stream_protocol.hpp>

#include <optional>
#include <string>

#include "unique_fd.h"

namespace tessaly::xpc::detail {

struct ServiceAddress {
  asio::local::stream_protocol::endpoint endpoint;
  // Holds the directory open while the endpoint names it through /proc/self/fd (paths longer than a
  // socket address can carry); invalid otherwise.
  UniqueFd directory;
};

std::optional<ServiceAddress> makeServiceAddress(const std::string& directory, const std::string& name);

}  // namespace tessaly::xpc::detail
