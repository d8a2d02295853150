// Human-readable names of value kinds, for decoding errors.
#pragma once

#include <string>

#include "tessaly/model/type_info.h"

namespace tessaly::model {

// "String", "UInt32", "Array<CoreNmAccount>", "Dictionary<String, UInt32>", or the model type's name.
std::string kindTypeName(const KindInfo& kind);

std::string_view primitiveName(KindTag tag) noexcept;

}  // namespace tessaly::model
