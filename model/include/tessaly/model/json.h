// Writing model values to JSON and reading them back, with the model's exact decoding errors.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tessaly/model/expected.h"
#include "tessaly/model/type_info.h"

namespace tessaly::model {

// One step of a coding path: a member name or an array index.
using CodingKey = std::variant<std::string, std::size_t>;

// "invocation.accounts[3]"; empty for the root.
std::string codingPathText(const std::vector<CodingKey>& path);

enum class DecodeErrorKind : std::uint8_t { typeMismatch, valueNotFound, keyNotFound, dataCorrupted };

std::string_view toString(DecodeErrorKind kind) noexcept;

struct DecodeError {
  DecodeErrorKind kind = DecodeErrorKind::dataCorrupted;
  std::string expectedType;  // for type mismatch and value not found
  std::vector<CodingKey> codingPath;
  std::string description;
  std::optional<std::string> underlying;
};

struct EncodeError {
  std::vector<CodingKey> codingPath;
  std::string description;
};

// Appends `text` to `out` as a JSON string (quotes and escapes included).
void appendJsonString(std::string& out, std::string_view text);

// Appends the compact JSON of `value` (a value of `type`) to `out`. On failure (a Float that is NaN or
// infinite) returns false, leaves `out` as it was and fills `*error` when given.
bool encodeValue(const TypeInfo& type, const void* value, std::string& out, EncodeError* error = nullptr);

template <ModelType T>
Expected<std::string, EncodeError> encode(const T& value) {
  std::string out;
  EncodeError error;
  if (!encodeValue(typeInfo<T>(), &value, out, &error)) return error;
  return out;
}

// The JSON text of `value`, or empty text when it cannot be encoded.
template <ModelType T>
std::string encodeToJsonText(const T& value) {
  std::string out;
  if (!encodeValue(typeInfo<T>(), &value, out)) return {};
  return out;
}

// JSON text followed by at least kPadding bytes of its own storage, which the reader may read past the end
// of the text without looking at them. A reader reads such text in place instead of copying it first.
class PaddedJson {
 public:
  static constexpr std::size_t kPadding = 64;

  // Makes room after the text in the string's own storage, which may move it; the string must then stay
  // unchanged for as long as this is used.
  explicit PaddedJson(std::string& text);

  std::string_view text() const noexcept { return text_; }

 private:
  std::string_view text_;
};

// Reads JSON documents into model values. Keeps its parser's buffers between documents, so reuse one reader
// for many documents; a reader is not safe to share between threads (use one per thread).
class JsonReader {
 public:
  // Documents nested deeper than this many arrays and objects fail with data corrupted.
  static constexpr std::size_t kMaxDepth = 512;

  // How a document is walked. Both give the same values and the same errors; the quick pass is faster for
  // documents that read without fault and costs a second walk for those that do not. The exact pass alone
  // is there to check the quick one against.
  enum class Pass : std::uint8_t { quickThenExact, exactOnly };

  explicit JsonReader(Pass pass = Pass::quickThenExact);
  ~JsonReader();
  JsonReader(const JsonReader&) = delete;
  JsonReader& operator=(const JsonReader&) = delete;

  // Reads `json` as a value of `type` into `*out`, a value of that type that is read over in full (reading
  // into the same value again and again reuses its strings' and lists' storage). On failure fills `*error`
  // and leaves `*out` in an unspecified but valid state.
  bool decodeValue(const TypeInfo& type, std::string_view json, void* out, DecodeError* error);
  bool decodeValue(const TypeInfo& type, PaddedJson json, void* out, DecodeError* error);

  // Reads `json` over `value`; on failure `value` is valid but unspecified.
  template <ModelType T>
  bool decodeInto(std::string_view json, T& value, DecodeError* error = nullptr) {
    return decodeValue(typeInfo<T>(), json, &value, error);
  }

  template <ModelType T>
  bool decodeInto(PaddedJson json, T& value, DecodeError* error = nullptr) {
    return decodeValue(typeInfo<T>(), json, &value, error);
  }

  template <ModelType T>
  Expected<T, DecodeError> decode(std::string_view json) {
    T value{};
    DecodeError error;
    if (!decodeValue(typeInfo<T>(), json, &value, &error)) return error;
    return value;
  }

 private:
  bool read(const TypeInfo& type, const char* data, std::size_t size, void* out, DecodeError* error);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Reads one document with a reader of its own; prefer a long-lived JsonReader for many documents.
template <ModelType T>
Expected<T, DecodeError> decode(std::string_view json) {
  JsonReader reader;
  return reader.decode<T>(json);
}

}  // namespace tessaly::model
