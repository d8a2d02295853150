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

// Reads `json` as T with the reader's usual passes and with the exact pass alone, and checks that both fail
// with `kind` at `path` (as pathJson text) and, when given, with `description`.
template <ModelType T>
::testing::AssertionResult failsWith(std::string_view json, DecodeErrorKind kind, std::string_view path,
                                     std::string_view description = {}) {
  for (auto pass : {JsonReader::Pass::quickThenExact, JsonReader::Pass::exactOnly}) {
    JsonReader reader(pass);
    auto result = reader.decode<T>(json);
    const char* passName = pass == JsonReader::Pass::exactOnly ? " (exact pass)" : "";
    if (result.ok()) return ::testing::AssertionFailure() << json << " was read without error" << passName;
    const DecodeError& e = result.error();
    std::string actualPath = pathJson(e.codingPath);
    if (e.kind != kind || actualPath != path || (!description.empty() && e.description != description)) {
      return ::testing::AssertionFailure() << json << " failed with " << toString(e.kind) << " at " << actualPath
                                           << ": " << e.description << passName;
    }
  }
  return ::testing::AssertionSuccess();
}

// The JSON text of `value`, or empty text when it cannot be written.
template <ModelType T>
std::string jsonOf(const T& value) {
  auto json = encode(value);
  return json.ok() ? std::move(json).value() : std::string();
}

// Reads `json` as T and writes it again.
template <ModelType T>
std::string reencode(std::string_view json) {
  auto result = decode<T>(json);
  if (!result.ok()) {
    ADD_FAILURE() << json << " failed: " << toString(result.error().kind) << " at "
                  << pathJson(result.error().codingPath) << ": " << result.error().description;
    return {};
  }
  return jsonOf(*result);
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
