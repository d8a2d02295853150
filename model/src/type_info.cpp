// Lookups on the per-type tables, shared by the writer, the reader and the tools.
#include "tessaly/model/type_info.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "tessaly/model/json.h"
#include "tessaly/model/registry.h"
#include "type_names.h"

namespace tessaly::model {
std::size_t hashWireString(std::string_view wire) noexcept { return std::hash<std::string_view>{}(wire); }

std::string_view primitiveName(KindTag tag) noexcept {
  switch (tag) {
    case KindTag::String:
      return "String";
    case KindTag::Bool:
      return "Bool";
    case KindTag::UInt8:
      return "UInt8";
    case KindTag::UInt16:
      return "UInt16";
    case KindTag::UInt32:
      return "UInt32";
    case KindTag::UInt64:
      return "UInt64";
    case KindTag::Int32:
      return "Int32";
    case KindTag::Int64:
      return "Int64";
    case KindTag::Float:
      return "Float";
    case KindTag::Bytes:
      return "Bytes";
    case KindTag::List:
      return "List";
    case KindTag::Map:
      return "Map";
    case KindTag::Named:
      return "Named";
  }
  return "?";
}

std::string kindTypeName(const KindInfo& kind) {
  switch (kind.tag) {
    case KindTag::List:
      return "Array<" + kindTypeName(*kind.element) + ">";
    case KindTag::Map:
      return "Dictionary<String, " + kindTypeName(*kind.element) + ">";
    case KindTag::Named:
      return std::string(kind.type->name);
    default:
      return std::string(primitiveName(kind.tag));
  }
}

std::string codingPathText(const std::vector<CodingKey>& path) {
  std::string text;
  for (const CodingKey& key : path) {
    if (const auto* index = std::get_if<std::size_t>(&key)) {
      text += "[" + std::to_string(*index) + "]";
    } else {
      if (!text.empty()) text += ".";
      text += std::get<std::string>(key);
    }
  }
  return text;
}

std::string_view toString(DecodeErrorKind kind) noexcept {
  switch (kind) {
    case DecodeErrorKind::typeMismatch:
      return "typeMismatch";
    case DecodeErrorKind::valueNotFound:
      return "valueNotFound";
    case DecodeErrorKind::keyNotFound:
      return "keyNotFound";
    case DecodeErrorKind::dataCorrupted:
      return "dataCorrupted";
  }
  return "dataCorrupted";
}

const TypeInfo* findType(std::string_view name) noexcept {
  auto types = allTypes();
  auto it = std::lower_bound(types.begin(), types.end(), name,
                             [](const TypeInfo* t, std::string_view n) { return t->name < n; });
  return it != types.end() && (*it)->name == name ? *it : nullptr;
}

}  // namespace tessaly::model
