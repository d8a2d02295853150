#include "tessaly/foundation/property_list.h"

#include <plist/plist.h>

#include <cstdlib>
#include <limits>
#include <memory>

namespace tessaly::foundation {
namespace {

struct PlistFree {
  void operator()(plist_t node) const noexcept { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct CFree {
  void operator()(char* text) const noexcept { std::free(text); }
};
using CText = std::unique_ptr<char, CFree>;

// Property lists nested deeper than this are refused rather than read by deep recursion.
constexpr int kMaxDepth = 256;

std::optional<PropertyValue> fromNode(plist_t node, int depth) {
  if (node == nullptr || depth > kMaxDepth) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      std::uint8_t value = 0;
      plist_get_bool_val(node, &value);
      return PropertyValue(value != 0);
    }
    case PLIST_UINT: {
      std::uint64_t value = 0;
      plist_get_uint_val(node, &value);
      // libplist keeps integers as 64 bits; negative numbers come back in two's complement.
      return PropertyValue(static_cast<std::int64_t>(value));
    }
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      return PropertyValue(value);
    }
    case PLIST_STRING: {
      char* raw = nullptr;
      plist_get_string_val(node, &raw);
      CText text(raw);
      return PropertyValue(std::string(text ? text.get() : ""));
    }
    case PLIST_DATA: {
      char* raw = nullptr;
      std::uint64_t length = 0;
      plist_get_data_val(node, &raw, &length);
      CText data(raw);
      const auto* begin = reinterpret_cast<const std::uint8_t*>(data.get());
      return PropertyValue(data ? Bytes(begin, begin + length) : Bytes{});
    }
    case PLIST_ARRAY: {
      PropertyArray array;
      const std::uint32_t count = plist_array_get_size(node);
      array.reserve(count);
      for (std::uint32_t i = 0; i < count; ++i) {
        auto element = fromNode(plist_array_get_item(node, i), depth + 1);
        if (!element) return std::nullopt;
        array.push_back(std::move(*element));
      }
      return PropertyValue(std::move(array));
    }
    case PLIST_DICT: {
      PropertyDictionary dictionary;
      plist_dict_iter iter = nullptr;
      plist_dict_new_iter(node, &iter);
      if (iter == nullptr) return PropertyValue(std::move(dictionary));
      std::unique_ptr<void, decltype(&std::free)> iterGuard(iter, &std::free);
      for (;;) {
        char* rawKey = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, iter, &rawKey, &item);
        CText key(rawKey);
        if (item == nullptr) break;
        auto value = fromNode(item, depth + 1);
        if (!value || !key) return std::nullopt;
        dictionary.insert_or_assign(std::string(key.get()), std::move(*value));
      }
      return PropertyValue(std::move(dictionary));
    }
    default:
      // Dates, UIDs and keys have no place in user defaults written by this system.
      return std::nullopt;
  }
}

PlistPtr toNode(const PropertyValue& value, int depth) {
  if (depth > kMaxDepth) return nullptr;
  struct Visitor {
    int depth;
    PlistPtr operator()(bool v) const { return PlistPtr(plist_new_bool(v ? 1 : 0)); }
    PlistPtr operator()(std::int64_t v) const { return PlistPtr(plist_new_uint(static_cast<std::uint64_t>(v))); }
    PlistPtr operator()(double v) const { return PlistPtr(plist_new_real(v)); }
    PlistPtr operator()(const std::string& v) const {
      if (v.find('\0') != std::string::npos) return nullptr;
      return PlistPtr(plist_new_string(v.c_str()));
    }
    PlistPtr operator()(const Bytes& v) const {
      return PlistPtr(plist_new_data(reinterpret_cast<const char*>(v.data()), v.size()));
    }
    PlistPtr operator()(const PropertyArray& v) const {
      PlistPtr array(plist_new_array());
      for (const PropertyValue& element : v) {
        PlistPtr node = toNode(element, depth + 1);
        if (!node) return nullptr;
        plist_array_append_item(array.get(), node.release());
      }
      return array;
    }
    PlistPtr operator()(const PropertyDictionary& v) const {
      PlistPtr dictionary(plist_new_dict());
      for (const auto& [key, element] : v) {
        if (key.find('\0') != std::string::npos) return nullptr;
        PlistPtr node = toNode(element, depth + 1);
        if (!node) return nullptr;
        plist_dict_set_item(dictionary.get(), key.c_str(), node.release());
      }
      return dictionary;
    }
  };
  return std::visit(Visitor{depth}, value.storage());
}

}  // namespace

std::optional<PropertyValue> parsePropertyList(std::string_view data) {
  if (data.empty() || data.size() > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  plist_t raw = nullptr;
  plist_from_memory(data.data(), static_cast<std::uint32_t>(data.size()), &raw);
  PlistPtr root(raw);
  if (!root) return std::nullopt;
  return fromNode(root.get(), 0);
}

std::string serializePropertyList(const PropertyValue& value) {
  PlistPtr root = toNode(value, 0);
  if (!root) return {};
  char* raw = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(root.get(), &raw, &length);
  if (raw == nullptr) return {};
  std::string out(raw, length);
  plist_to_bin_free(raw);
  return out;
}

}  // namespace tessaly::foundation
