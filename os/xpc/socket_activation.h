// Listening sockets handed to the process by systemd socket activation, adopted by service name.
#pragma once

#include <optional>
#include <string>

namespace tessaly::xpc::detail {

// The listening Unix stream socket that systemd passed for `serviceName` (the socket unit's
// FileDescriptorName=), or nothing. Each socket is handed out once; the LISTEN_* variables are read on the
// first call and removed from the environment, so that child processes do not see them.
std::optional<int> takeActivatedSocket(const std::string& serviceName);

}  // namespace tessaly::xpc::detail
