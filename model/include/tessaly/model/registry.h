// Lookup of model types by name, for tools that handle any type.
#pragma once

#include <span>
#include <string_view>

#include "tessaly/model/type_info.h"

namespace tessaly::model {

// Every model type's table, sorted by type name.
std::span<const TypeInfo* const> allTypes() noexcept;

// The table of the type named `name`, or null.
const TypeInfo* findType(std::string_view name) noexcept;

}  // namespace tessaly::model
