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
  static constexpr std::chrono::milliseconds kDefaultHandshakeTimeout{3'000};
  static constexpr std::size_t kDefaultMaxUngreetedConnections = 256;

  // Largest frame payload sent or accepted (selector, argument descriptors and argument bytes together).
  // Values above 4 GiB - 1 are treated as 4 GiB - 1, the largest length a frame header can carry.
  std::size_t maxMessageSize = kDefaultMaxMessageSize;
  // Largest number of bytes waiting in this process toward one peer (the kernel's socket buffer aside).
  std::size_t maxQueuedBytes = kDefaultMaxQueuedBytes;
  // Time a newly accepted peer has to greet the service before it is dropped.
  std::chrono::milliseconds handshakeTimeout = kDefaultHandshakeTimeout;
  // Connections of a listener that have not greeted yet. Beyond it, the oldest of them that has sent nothing
  // is dropped for each new one, so that idle sockets cannot crowd out peers that greet at once.
  std::size_t maxUngreetedConnections = kDefaultMaxUngreetedConnections;
};

// One budget for the whole process, beside the limits of each connection: the bytes waiting toward peers that
// read slowly and the incomplete frames being received, over all connections. When a new byte takes the total
// over the budget, the connections that hold the most are invalidated (Error::queue_limit_exceeded) until the
// rest fits. Bytes shared by several connections (one body broadcast to many peers) count once per connection.
inline constexpr std::size_t kDefaultBufferBudget = std::size_t{256} << 20;  // 256 MiB
void setBufferBudget(std::size_t bytes) noexcept;
std::size_t bufferBudget() noexcept;
// What all connections hold against the budget now.
std::size_t bufferedBytes() noexcept;

// Raises this process's soft limit on open files to its hard limit, so that a service holds as many peers as
// the system lets it: a user session's soft limit is 1,024, and each peer takes two (its socket and a pidfd).
// Returns the soft limit now in force (0 when it cannot be read). Call at start; programs started later
// inherit the raised limit.
std::size_t raiseDescriptorLimit() noexcept;

struct ServiceOptions {
  // Directory that holds the service sockets; empty means serviceDirectory() (see service_directory.h).
  std::string directory;
  Limits limits;
};

}  // namespace tessaly::xpc
