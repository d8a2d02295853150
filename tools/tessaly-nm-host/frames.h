// The browser's side of native messaging: reading the framed messages a browser writes, and checking the
// bodies the agent sends before they go to the browser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly::nmhost {

// The browsers' limits: a message from the browser may be up to 64 MiB, one to the browser up to 1 MiB (of
// JSON, the 4-byte length aside).
inline constexpr std::size_t kMaxMessageFromBrowser = std::size_t{64} << 20;
inline constexpr std::size_t kMaxMessageToBrowser = std::size_t{1} << 20;

// Splits a byte stream into native-messaging frames: a 4-byte length in this machine's byte order, then that
// many bytes. The bytes may come in pieces of any size.
class FrameReader {
 public:
  explicit FrameReader(std::size_t maxLength = kMaxMessageFromBrowser) : maxLength_(maxLength) {}

  // Takes the next bytes of the stream and hands each frame completed by them to `onFrame` (its payload
  // only), in order. Returns false, and takes nothing more, once a frame declares a length above the limit:
  // the stream cannot be followed past that point.
  bool feed(std::span<const std::uint8_t> bytes, const std::function<void(std::string_view payload)>& onFrame);

  // True while part of a frame has arrived and the rest has not.
  bool midFrame() const noexcept { return !pending_.empty(); }
  // The length the last frame declared (the one that broke the limit, after feed returned false).
  std::uint32_t declaredLength() const noexcept { return declared_; }

 private:
  std::size_t maxLength_;
  std::vector<std::uint8_t> pending_;  // an unfinished frame, header included
  std::uint32_t declared_ = 0;
  bool broken_ = false;
};

// The body the agent carries for a browser message: the payload framed with a little-endian length.
std::string agentBody(std::string_view payload);

// The JSON of a body the agent sent, which goes to the browser behind its length in this machine's byte order.
// Nothing, with the reason in `why`, for a body that is not exactly one frame or whose JSON is longer than the
// browser takes.
std::optional<std::span<const std::uint8_t>> browserPayload(std::span<const std::uint8_t> body, std::string& why);

// Writes one frame to the browser, whole: the payload's length in this machine's byte order, then the payload.
// False, with errno set, when the descriptor fails.
bool writeBrowserFrame(int fd, std::span<const std::uint8_t> payload);

}  // namespace tessaly::nmhost
