// Property-list values (the types user defaults hold) and their reading and writing through libplist.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tessaly::foundation {

using Bytes = std::vector<std::uint8_t>;

class PropertyValue;
using PropertyArray = std::vector<PropertyValue>;
using PropertyDictionary = std::map<std::string, PropertyValue, std::less<>>;

// One property-list value: Boolean, integer, real, text, data, array or dictionary.
class PropertyValue {
 public:
  using Storage = std::variant<bool, std::int64_t, double, std::string, Bytes, PropertyArray, PropertyDictionary>;

  PropertyValue() : storage_(false) {}
  PropertyValue(bool value) : storage_(value) {}                           // NOLINT(google-explicit-constructor)
  PropertyValue(std::int64_t value) : storage_(value) {}                   // NOLINT(google-explicit-constructor)
  PropertyValue(double value) : storage_(value) {}                         // NOLINT(google-explicit-constructor)
  PropertyValue(std::string value) : storage_(std::move(value)) {}         // NOLINT(google-explicit-constructor)
  PropertyValue(const char* value) : storage_(std::string(value)) {}       // NOLINT(google-explicit-constructor)
  PropertyValue(Bytes value) : storage_(std::move(value)) {}               // NOLINT(google-explicit-constructor)
  PropertyValue(PropertyArray value) : storage_(std::move(value)) {}       // NOLINT(google-explicit-constructor)
  PropertyValue(PropertyDictionary value) : storage_(std::move(value)) {}  // NOLINT(google-explicit-constructor)

  const Storage& storage() const noexcept { return storage_; }

  template <class T>
  const T* getIf() const noexcept {
    return std::get_if<T>(&storage_);
  }

  friend bool operator==(const PropertyValue&, const PropertyValue&) = default;

 private:
  Storage storage_;
};

// Reads a property list in XML or binary form; nothing when the text is not a property list.
[[nodiscard]] std::optional<PropertyValue> parsePropertyList(std::string_view data);

// Writes `value` as a binary property list; empty when libplist cannot write it.
std::string serializePropertyList(const PropertyValue& value);

}  // namespace tessaly::foundation
