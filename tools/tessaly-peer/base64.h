// Standard base64 with padding, for the message bodies in tessaly-peer's JSON lines.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessaly::peer {

std::string encodeBase64(std::string_view bytes);
// Nothing when `text` is not base64 of the standard alphabet with padding.
std::optional<std::string> decodeBase64(std::string_view text);

}  // namespace tessaly::peer
