// The benchmark's baseline host: a native-messaging host that answers every message itself, at once, with the
// same message, read and written the way tessaly-nm-host reads from and writes to the browser.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "frames.h"

int main() {
  tessaly::nmhost::FrameReader reader;
  std::vector<std::uint8_t> buffer(std::size_t{64} << 10);
  bool open = true;
  while (open) {
    const ssize_t got = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    open = reader.feed(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(got)),
                       [&](std::string_view payload) {
                         const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
                         if (!tessaly::nmhost::writeBrowserFrame(STDOUT_FILENO, {bytes, payload.size()})) open = false;
                       });
  }
  return 0;
}
