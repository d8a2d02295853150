// Typed reading of the model benchmark's two documents with nlohmann::json and Boost.JSON, the libraries a C++
// developer would otherwise pick, into the same model types and with the same checks as the model's reader.
//
// Each reads only the types those documents use (an account response and a page-details request); a union
// case the documents never use is refused like an unknown one. Every read throws on a faulty document.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

#include "tessaly/model/core_types.h"

namespace tessaly::bench {

// A document that does not read as the type asked for.
class PeerReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The case of enumeration E whose wire string is `wire`, through a hash table built once.
template <model::ModelEnum E>
E enumFromWire(std::string_view wire) {
  static const auto table = [] {
    std::unordered_map<std::string_view, E> byWire;
    for (std::size_t i = 0; i < model::typeInfo<E>().caseCount; ++i)
      byWire.emplace(model::typeInfo<E>().cases[i].wire, E(i));
    return byWire;
  }();
  auto found = table.find(wire);
  if (found == table.end())
    throw PeerReadError("unknown " + std::string(model::typeInfo<E>().name) + " " + std::string(wire));
  return found->second;
}

// nlohmann::json: parse, then from_json.
template <class T>
T readWithNlohmann(std::string_view json);

// Boost.JSON: parse into a reused parser and monotonic memory, then value_to.
class BoostJsonReader {
 public:
  BoostJsonReader();
  ~BoostJsonReader();

  template <class T>
  T read(std::string_view json);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tessaly::bench
