// Checks on text that crosses from C callers or into services that accept only UTF-8.
#pragma once

#include <string_view>

namespace tessaly::foundation {

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or code points beyond U+10FFFF).
bool isValidUtf8(std::string_view text) noexcept;

}  // namespace tessaly::foundation
