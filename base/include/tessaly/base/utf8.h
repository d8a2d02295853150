// The one check of UTF-8 text, for every layer that accepts text from outside.
#pragma once

#include <string_view>

namespace tessaly::base {

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or code points beyond U+10FFFF).
[[nodiscard]] bool isValidUtf8(std::string_view text) noexcept;

}  // namespace tessaly::base
