#include "tessaly/foundation/text.h"

#include <simdjson.h>

namespace tessaly::foundation {

bool isValidUtf8(std::string_view text) noexcept { return simdjson::validate_utf8(text.data(), text.size()); }

}  // namespace tessaly::foundation
