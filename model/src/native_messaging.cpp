// Framing of the messages the broker writes itself.
#include "tessaly/model/native_messaging.h"

#include <limits>

namespace tessaly::model {

std::string_view toString(FrameError error) noexcept {
  switch (error) {
    case FrameError::encodingFailed:
      return "the message could not be encoded as JSON";
    case FrameError::tooLong:
      return "the message is longer than a 32-bit length allows";
  }
  return "unknown frame error";
}

Expected<std::string, FrameError> frameJson(std::string_view json) {
  if (json.size() > std::numeric_limits<std::uint32_t>::max()) return FrameError::tooLong;
  auto length = static_cast<std::uint32_t>(json.size());
  std::string frame;
  frame.reserve(4 + json.size());
  for (int shift = 0; shift < 32; shift += 8) frame.push_back(static_cast<char>((length >> shift) & 0xFF));
  frame.append(json);
  return frame;
}

CoreNmhResponse appQuitNotification() { return CoreNmhResponse::notification(CoreNmNotification::appQuit()); }

Expected<std::string, FrameError> appQuitNotificationFrame() { return frameValue(appQuitNotification()); }

}  // namespace tessaly::model
