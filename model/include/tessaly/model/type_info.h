// Per-type tables of the model: the only per-type data the generic JSON writer and reader need.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
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
  String,
  Bool,
  UInt8,
  UInt16,
  UInt32,
  UInt64,
  Int32,
  Int64,
  Float,
  Bytes,
  List,
  Map,
  Named,
};

struct TypeInfo;

// Type-erased access to a std::vector<T> of a list kind.
struct ListOps {
  std::size_t (*size)(const void* list);
  const void* (*data)(const void* list);
  // Keeps at most the first `count` items, to be read over, and room for `count` in all; returns the first.
  void* (*prepare)(void* list, std::size_t count);
  void* (*append)(void* list);  // a default-made item at the end
  std::size_t elementSize;
};

// Type-erased access to a std::map<std::string, T> of a map kind.
struct MapOps {
  using Visitor = bool (*)(void* context, std::string_view key, const void* value);
  std::size_t (*size)(const void* map);
  void (*clear)(void* map);
  void* (*emplace)(void* map, std::string_view key);               // a fresh value for key, replacing any earlier one
  bool (*forEach)(const void* map, void* context, Visitor visit);  // stops and returns false when visit does
};

// Type-erased access to the std::optional<T> of an optional record field.
struct OptionalOps {
  const void* (*get)(const void* optional);  // null when empty
  void* (*engage)(void* optional);           // the held value, or a fresh one when empty
  void (*reset)(void* optional);
};

// Type-erased access to a tagged union class: its case's index, its payload, and a switch to a default-made case.
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
  std::string_view name;  // also the JSON member name
  const KindInfo* kind;
  const OptionalOps* optional;  // null for a required field
  std::size_t offset;           // of the member within the record struct
};

struct CaseInfo {
  std::string_view name;
  std::string_view wire;
  const KindInfo* payload;  // null for a unit case
};

// A collision-free hash table from names to indices, made by the generator.
struct NameIndex {
  const std::uint16_t* slots = nullptr;  // index + 1, or 0 for an empty slot
  std::uint32_t mask = 0;
  std::uint32_t seed = 0;
  bool hashesWholeName = false;  // otherwise only the length and three sampled bytes

  // The index stored for `name`'s slot (-1 if empty); the caller compares the name itself.
  int candidate(std::string_view name) const noexcept {
    if (slots == nullptr) return -1;
    return static_cast<int>(slots[hash(name, seed, hashesWholeName) & mask]) - 1;
  }

  // Either FNV-1a over the length and every byte, or (the default, much cheaper) a multiplicative mix of
  // the length with the first and the last eight bytes, which covers every byte of names up to 16 bytes.
  // The generator (model/gen/modelgen.py) computes the same function, reading bytes in little-endian order.
  static std::uint32_t hash(std::string_view name, std::uint32_t seed, bool whole) noexcept {
    const std::size_t n = name.size();
    const char* p = name.data();
    if (whole) {
      constexpr std::uint32_t kPrime = 0x01000193u;
      std::uint32_t h = (seed ^ static_cast<std::uint32_t>(n)) * kPrime;
      for (std::size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(p[i])) * kPrime;
      return h >> 8;
    }
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    if (n >= 8) {
      std::memcpy(&a, p, 8);
      std::memcpy(&b, p + n - 8, 8);
    } else if (n >= 4) {
      std::uint32_t x;
      std::uint32_t y;
      std::memcpy(&x, p, 4);
      std::memcpy(&y, p + n - 4, 4);
      a = x;
      b = y;
    } else if (n > 0) {
      a = static_cast<unsigned char>(p[0]) | static_cast<std::uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8 |
          static_cast<std::uint64_t>(static_cast<unsigned char>(p[n - 1])) << 16;
    }
    std::uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full) ^ (n + seed);
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    return static_cast<std::uint32_t>(h);
  }
};

static_assert(std::endian::native == std::endian::little, "the name tables are hashed in little-endian byte order");

// Equality of the short names of the tables, a word at a time, cheaper than a library call.
inline bool sameName(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  auto word = [](const char* at) {
    std::uint64_t w;
    std::memcpy(&w, at, 8);
    return w;
  };
  auto half = [](const char* at) {
    std::uint32_t w;
    std::memcpy(&w, at, 4);
    return w;
  };
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 < n; i += 8) {
      if (word(p + i) != word(q + i)) return false;
    }
    return word(p + n - 8) == word(q + n - 8);
  }
  // Shorter names without a loop: two overlapping four-byte halves, or the first, middle and last byte.
  if (n >= 4) return (half(p) ^ half(q)) == 0 && (half(p + n - 4) ^ half(q + n - 4)) == 0;
  if (n == 0) return true;
  return p[0] == q[0] && p[n / 2] == q[n / 2] && p[n - 1] == q[n - 1];
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
concept ModelType = requires {
  { ModelTraits<T>::info } -> std::convertible_to<const TypeInfo*>;
};

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
