// Limits and options shared by listeners and connections.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace tessaly::xpc {

// Limits that protect a process from its peers. Exceeding one invalidates only the connection concerned.
struct Limits {
  static constexpr std::size_t kDefaultMaxMessageSize = std::size_t{64} << 20;   // 64 MiB
  static constexpr std::size_t kDefaultMaxQueuedBytes = std::size_t{128} << 20;  // 128 MiB
  static constexpr std::chrono::milliseconds kDefaultHandshakeTimeout{10'000};

  // Largest frame payload sent or accepted (selector, argument descriptors and argument bytes together).
  // Values above 4 GiB - 1 are treated as 4 GiB - 1, the largest length a frame header can carry.
  std::size_t maxMessageSize = kDefaultMaxMessageSize;
  // Largest number of bytes waiting in this process toward one peer (the kernel's socket buffer aside).
  std::size_t maxQueuedBytes = kDefaultMaxQueuedBytes;
  // Time a newly accepted peer has to greet the service before it is dropped.
  std::chrono::milliseconds handshakeTimeout = kDefaultHandshakeTimeout;
};

struct ServiceOptions {
  // Directory that holds the service sockets; empty means serviceDirectory() (see service_directory.h).
  std::string directory;
  Limits limits;
};

}  // namespace tessaly::xpc
