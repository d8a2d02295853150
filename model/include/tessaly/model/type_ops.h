// Type-erased operations on the standard containers the model uses; instantiated by the generated tables.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tessaly/model/type_info.h"

namespace tessaly::model::generated {

template <class List>
struct ListOpsFor;

template <class T>
struct ListOpsFor<std::vector<T>> {
  static_assert(!std::is_same_v<T, bool>, "lists of Bool are not supported");
  using List = std::vector<T>;
  static std::size_t size(const void* p) { return static_cast<const List*>(p)->size(); }
  static const void* data(const void* p) { return static_cast<const List*>(p)->data(); }
  static void* prepare(void* p, std::size_t n) {
    auto* list = static_cast<List*>(p);
    if (list->size() > n) list->erase(list->begin() + static_cast<std::ptrdiff_t>(n), list->end());
    list->reserve(n);
    return list->data();
  }
  static void* append(void* p) { return &static_cast<List*>(p)->emplace_back(); }
  static constexpr ListOps ops{&size, &data, &prepare, &append, sizeof(T)};
};

template <class Map>
struct MapOpsFor;

template <class T>
struct MapOpsFor<std::map<std::string, T, std::less<>>> {
  using Map = std::map<std::string, T, std::less<>>;
  static std::size_t size(const void* p) { return static_cast<const Map*>(p)->size(); }
  static void clear(void* p) { static_cast<Map*>(p)->clear(); }
  static void* emplace(void* p, std::string_view key) {
    auto& map = *static_cast<Map*>(p);
    auto [it, inserted] = map.try_emplace(std::string(key));
    if (!inserted) it->second = T{};
    return &it->second;
  }
  static bool forEach(const void* p, void* context, MapOps::Visitor visit) {
    for (const auto& [key, value] : *static_cast<const Map*>(p)) {
      if (!visit(context, key, &value)) return false;
    }
    return true;
  }
  static constexpr MapOps ops{&size, &clear, &emplace, &forEach};
};

template <class T>
struct OptionalOpsFor {
  using Optional = std::optional<T>;
  static const void* get(const void* p) {
    const auto& o = *static_cast<const Optional*>(p);
    return o.has_value() ? &*o : nullptr;
  }
  static void* engage(void* p) {
    auto& o = *static_cast<Optional*>(p);
    return o.has_value() ? &*o : &o.emplace();
  }
  static void reset(void* p) { static_cast<Optional*>(p)->reset(); }
  static constexpr OptionalOps ops{&get, &engage, &reset};
};

template <class U>
struct UnionOpsFor {
  static std::size_t index(const void* p) { return static_cast<std::size_t>(static_cast<const U*>(p)->which()); }
  static const void* active(const void* p) { return static_cast<const U*>(p)->payloadAddress(); }
  static void* emplace(void* p, std::size_t i) {
    return static_cast<U*>(p)->emplaceCase(static_cast<typename U::Case>(i));
  }
  static constexpr UnionOps ops{&index, &active, &emplace};
};

template <class T>
struct BoxOpsFor {
  static void* create() { return new T{}; }
  static void destroy(void* p) { delete static_cast<T*>(p); }
  static constexpr BoxOps ops{&create, &destroy};
};

}  // namespace tessaly::model::generated
