#include "tessaly/base/utf8.h"

#include <simdjson.h>

namespace tessaly::base {

bool isValidUtf8(std::string_view text) noexcept { return simdjson::validate_utf8(text.data(), text.size()); }

}  // namespace tessaly::base
