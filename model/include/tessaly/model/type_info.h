// Per-type tables of the model: the only per-type data the generic JSON writer and reader need.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <string_view>
#include <type_traits>

namespace tessaly::model {

// The payload of a union case that carries none.
struct Unit {
  friend bool operator==(const Unit&, const Unit&) = default;
};

// Thrown when a tagged union's payload is taken for a case it does not hold.
class BadUnionAccess : public std::exception {
 public:
  const char* what() const noexcept override { return "tagged union holds another case"; }
};

// The largest of some sizes, for the inline storage of tagged unions.
constexpr std::size_t largestOf(std::initializer_list<std::size_t> sizes) {
  std::size_t largest = 1;
  for (std::size_t s : sizes) largest = s > largest ? s : largest;
  return largest;
}

enum class Shape : std::uint8_t { record, enumeration, tagged_union };

enum class KindTag : std::uint8_t {
  String, Bool, UInt8, UInt16, UInt32, UInt64, Int32, Int64, Float, Bytes, List, Map, Named,
};

struct TypeInfo;

// Type-erased access to a std::vector<T> of a list kind.
struct ListOps {
  std::size_t (*size)(const void* list);
  const void* (*data)(const void* list);
  void* (*resize)(void* list, std::size_t count);  // keeps the first items that remain; returns the first
  std::size_t elementSize;
};

// Type-erased access to a std::map<std::string, T> of a map kind.
struct MapOps {
  using Visitor = bool (*)(void* context, std::string_view key, const void* value);
  std::size_t (*size)(const void* map);
  void (*clear)(void* map);
  void* (*emplace)(void* map, std::string_view key);  // a fresh value for key, replacing any earlier one
  bool (*forEach)(const void* map, void* context, Visitor visit);  // stops and returns false when visit does
};

// Type-erased access to the std::optional<T> of an optional record field.
struct OptionalOps {
  const void* (*get)(const void* optional);  // null when empty
  void* (*emplace)(void* optional);
  void (*reset)(void* optional);
};

// Type-erased access to the std::variant inside a tagged union class.
struct UnionOps {
  std::size_t (*index)(const void* value);
  const void* (*active)(const void* value);
  void* (*emplace)(void* value, std::size_t index);
};

// Creation and destruction of a value of a type known only by its table (used by tools).
struct BoxOps {
  void* (*create)();
  void (*destroy)(void* value);
};

// A value kind: a primitive, a list or map of a kind, or a named model type.
struct KindInfo {
  KindTag tag;
  const KindInfo* element = nullptr;  // List and Map
  const TypeInfo* type = nullptr;     // Named
  const ListOps* list = nullptr;
  const MapOps* map = nullptr;
};

struct FieldInfo {
  std::string_view name;               // also the JSON member name
  const KindInfo* kind;
  const OptionalOps* optional;         // null for a required field
  std::size_t offset;                  // of the member within the record struct
};

struct CaseInfo {
  std::string_view name;
  std::string_view wire;
  const KindInfo* payload;             // null for a unit case
};

// A collision-free hash table from names to indices, made by the generator.
struct NameIndex {
  const std::uint16_t* slots = nullptr;  // index + 1, or 0 for an empty slot
  std::uint32_t mask = 0;
  std::uint32_t seed = 0;
  bool hashesWholeName = false;          // otherwise only the length and three sampled bytes

  // The index stored for `name`'s slot (-1 if empty); the caller compares the name itself.
  int candidate(std::string_view name) const noexcept {
    if (slots == nullptr) return -1;
    return static_cast<int>(slots[hash(name, seed, hashesWholeName) & mask]) - 1;
  }

  // FNV-1a over the length and either every byte or the first, middle and last byte. The generator
  // (model/gen/modelgen.py) computes the same function.
  static std::uint32_t hash(std::string_view name, std::uint32_t seed, bool whole) noexcept {
    constexpr std::uint32_t kPrime = 0x01000193u;
    auto n = static_cast<std::uint32_t>(name.size());
    auto at = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(name[i])); };
    std::uint32_t h = (seed ^ n) * kPrime;
    if (whole) {
      for (std::size_t i = 0; i < name.size(); ++i) h = (h ^ at(i)) * kPrime;
    } else {
      h = (h ^ (n ? at(0) : 0)) * kPrime;
      h = (h ^ (n ? at(n / 2) : 0)) * kPrime;
      h = (h ^ (n ? at(n - 1) : 0)) * kPrime;
    }
    return h >> 8;
  }
};

// Byte equality for the short names of the tables, cheaper than a library call.
inline bool sameName(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

struct TypeInfo {
  std::string_view name;
  const BoxOps* box;
  Shape shape;
  // Records.
  const FieldInfo* fields = nullptr;
  NameIndex fieldIndex = {};
  std::uint16_t fieldCount = 0;
  // Enumerations and tagged unions.
  const CaseInfo* cases = nullptr;
  NameIndex caseIndex = {};
  std::uint16_t caseCount = 0;
  // Tagged unions.
  std::string_view tagKey = {};
  std::string_view contentKey = {};
  const UnionOps* unionOps = nullptr;

  // Index of the field named `name`, or -1.
  int findField(std::string_view name) const noexcept {
    int i = fieldIndex.candidate(name);
    return i >= 0 && sameName(fields[i].name, name) ? i : -1;
  }
  // Index of the case whose wire string is `wire`, or -1.
  int findCase(std::string_view wire) const noexcept {
    int i = caseIndex.candidate(wire);
    return i >= 0 && sameName(cases[i].wire, wire) ? i : -1;
  }
};

// ModelTraits<T>::info is the table of model type T (specialised by the generated code).
template <class T>
struct ModelTraits;

template <class T>
concept ModelType = requires { { ModelTraits<T>::info } -> std::convertible_to<const TypeInfo*>; };

template <class T>
concept ModelEnum = ModelType<T> && std::is_enum_v<T>;

template <ModelType T>
constexpr const TypeInfo& typeInfo() noexcept {
  return *ModelTraits<T>::info;
}

// The wire string of an enumeration case.
template <ModelEnum E>
std::string_view wireString(E value) noexcept {
  return typeInfo<E>().cases[static_cast<std::size_t>(value)].wire;
}

std::size_t hashWireString(std::string_view wire) noexcept;

}  // namespace tessaly::model

// Enumerations hash by their wire string, so they serve as keys of hashed containers.
template <tessaly::model::ModelEnum E>
struct std::hash<E> {
  std::size_t operator()(E value) const noexcept {
    return tessaly::model::hashWireString(tessaly::model::wireString(value));
  }
};
