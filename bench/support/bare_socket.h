// The bare Unix-socket ping-pong that the IPC and broker benchmarks measure themselves against.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaly::bench {

inline bool readFully(int fd, void* buffer, std::size_t size) {
  auto* at = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t n = ::read(fd, at, size);
    if (n <= 0) return false;
    at += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

inline bool writeFully(int fd, const void* buffer, std::size_t size) {
  const auto* at = static_cast<const char*>(buffer);
  while (size > 0) {
    const ssize_t n = ::write(fd, at, size);
    if (n <= 0) return false;
    at += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Bare echo: a 4-byte length, then that many bytes, sent back as they came.
inline void bareEcho(int fd) {
  std::vector<char> buffer;
  for (;;) {
    std::uint32_t length = 0;
    if (!readFully(fd, &length, sizeof length)) return;
    buffer.resize(length);
    if (!readFully(fd, buffer.data(), length)) return;
    if (!writeFully(fd, &length, sizeof length) || !writeFully(fd, buffer.data(), length)) return;
  }
}

}  // namespace tessaly::bench
