// Listening sockets handed to the process by systemd socket activation, adopted by service name or path.
#pragma once

#include <optional>
#include <string>

namespace tessaly::xpc::detail {

// The listening Unix stream socket that systemd passed for the service `serviceName` published at `path`: the
// one named after the service (the socket unit's FileDescriptorName=), else one bound at `path` whatever its
// name (systemd-socket-activate without --fdname, a unit that names it otherwise), else nothing. A client may
// already wait on it (the one whose connection started the process), so a socket meant for this service is
// never closed. Each socket is handed out once; the LISTEN_* variables are read on the first call and removed
// from the environment, so that child processes do not see them.
std::optional<int> takeActivatedSocket(const std::string& serviceName, const std::string& path);

}  // namespace tessaly::xpc::detail
