// Access to the std::optional of an optional record field: direct for the primitive kinds, whose C++ types
// are fixed, and through the operations of the field's table for every other kind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

#include "tessaly/model/type_info.h"

namespace tessaly::model::optional_fields {

// `direct(std::type_identity<T>{})` for the C++ type T of a primitive kind (Bytes aside), `otherwise()` for
// every other kind.
template <class Direct, class Otherwise>
[[gnu::always_inline]] inline auto byType(KindTag tag, Direct direct, Otherwise otherwise) {
  switch (tag) {
    case KindTag::String:
      return direct(std::type_identity<std::string>{});
    case KindTag::Bool:
      return direct(std::type_identity<bool>{});
    case KindTag::UInt8:
      return direct(std::type_identity<std::uint8_t>{});
    case KindTag::UInt16:
      return direct(std::type_identity<std::uint16_t>{});
    case KindTag::UInt32:
      return direct(std::type_identity<std::uint32_t>{});
    case KindTag::UInt64:
      return direct(std::type_identity<std::uint64_t>{});
    case KindTag::Int32:
      return direct(std::type_identity<std::int32_t>{});
    case KindTag::Int64:
      return direct(std::type_identity<std::int64_t>{});
    case KindTag::Float:
      return direct(std::type_identity<float>{});
    default:
      return otherwise();
  }
}

template <class Type>
using OptionalOf = std::optional<typename Type::type>;

// The value the field holds, or null.
[[gnu::always_inline]] inline const void* held(const FieldInfo& field, const void* optional) {
  return byType(
      field.kind->tag,
      [optional](auto type) -> const void* {
        const auto& o = *static_cast<const OptionalOf<decltype(type)>*>(optional);
        return o.has_value() ? &*o : nullptr;
      },
      [&field, optional]() { return field.optional->get(optional); });
}

// The value the field holds, made first when it holds none; a held value is kept, to be read over.
[[gnu::always_inline]] inline void* engage(const FieldInfo& field, void* optional) {
  return byType(
      field.kind->tag,
      [optional](auto type) -> void* {
        auto& o = *static_cast<OptionalOf<decltype(type)>*>(optional);
        return o.has_value() ? &*o : &o.emplace();
      },
      [&field, optional]() { return field.optional->engage(optional); });
}

[[gnu::always_inline]] inline void reset(const FieldInfo& field, void* optional) {
  byType(
      field.kind->tag, [optional](auto type) { static_cast<OptionalOf<decltype(type)>*>(optional)->reset(); },
      [&field, optional]() { field.optional->reset(optional); });
}

}  // namespace tessaly::model::optional_fields
