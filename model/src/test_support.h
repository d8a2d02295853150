// Helpers shared by the model's tests: error matchers and values generated from the type tables.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tessaly/model/json.h"

namespace tessaly::model::testing {

// The coding path written as the tool writes it: ["invocation",0,"kid"].
std::string pathJson(const std::vector<CodingKey>& path);

// A default-made value of a type known only by its table.
struct Box {
  explicit Box(const TypeInfo& t) : type(t), value(t.box->create()) {}
  ~Box() { type.box->destroy(value); }
  Box(const Box&) = delete;
  Box& operator=(const Box&) = delete;
  const TypeInfo& type;
  void* value;
};

// Reads `json` as `type` with the reader's usual passes and with the exact pass alone, and checks that both fail
// with `kind` at `path` (as pathJson text) and, when given, with `description`.
::testing::AssertionResult failsWith(const TypeInfo& type, std::string_view json, DecodeErrorKind kind,
                                     std::string_view path, std::string_view description = {});

// Reads `json` as `type` and writes it again (a test failure, and empty text, when either fails).
std::string reencode(const TypeInfo& type, std::string_view json);

// The JSON text of `value`, or empty text when it cannot be written.
template <ModelType T>
std::string jsonOf(const T& value) {
  auto json = encode(value);
  return json.ok() ? std::move(json).value() : std::string();
}

// Fills values of any model type with random content, driven only by the type tables.
class ValueGenerator {
 public:
  explicit ValueGenerator(std::uint32_t seed) : random_(seed) {}

  // Fills `*out`, a default-made value of `type`.
  void fill(const TypeInfo& type, void* out) { fillNamed(type, out, 0); }

 private:
  void fillNamed(const TypeInfo& type, void* out, int depth);
  void fillKind(const KindInfo& kind, void* out, int depth);
  std::string text();
  std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }
  template <class Int>
  Int integer();

  std::mt19937 random_;
};

}  // namespace tessaly::model::testing
