// Native-messaging frames (a 4-byte little-endian length, then the JSON text) and the app-quit notification.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tessaly/model/core_types.h"
#include "tessaly/model/json.h"

namespace tessaly::model {

enum class FrameError : std::uint8_t {
  encodingFailed,  // the value could not be written as JSON
  tooLong,         // the JSON is longer than a 32-bit length can say
};

std::string_view toString(FrameError error) noexcept;

// The frame of a JSON text: its byte count as a 32-bit little-endian integer, then the text itself.
Expected<std::string, FrameError> frameJson(std::string_view json);

// Writes `value` as JSON and frames it.
template <ModelType T>
Expected<std::string, FrameError> frameValue(const T& value) {
  std::string json;
  if (!encodeValue(typeInfo<T>(), &value, json)) return FrameError::encodingFailed;
  return frameJson(json);
}

// The notification every extension gets when the desktop app goes away.
CoreNmhResponse appQuitNotification();

// Its frame, 56 bytes: 34 00 00 00 and {"type":"Notification","content":{"type":"AppQuit"}}.
Expected<std::string, FrameError> appQuitNotificationFrame();

}  // namespace tessaly::model
