// A peer that speaks the IPC wire format by hand, to send what a well-behaved peer never would.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "tessaly/testing/files.h"
#include "tessaly/xpc/value.h"

namespace tessaly::testing {

class RawPeer {
 public:
  explicit RawPeer(const std::string& path);
  ~RawPeer();
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  bool connected() const { return connected_; }
  bool write(const std::string& bytes);
  // Greets the service and reads its welcome.
  bool handshake();
  // Reads the service's welcome, after a greeting written by hand.
  bool welcomed();
  // True once the other end has closed the connection (reads end of file or a reset).
  bool closedByPeer(std::chrono::milliseconds timeout = kPatience);

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// The bytes of a greeting of either side.
std::string helloFrame();
// The bytes of a message frame.
std::string messageFrame(std::string_view selector, xpc::Arguments values, std::uint64_t token = 0);

}  // namespace tessaly::testing
