// Writing model values to JSON and reading them back, with the model's exact decoding errors.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tessaly/base/expected.h"
#include "tessaly/model/type_info.h"

namespace tessaly::model {

using base::Expected;

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
// infinite) leaves `out` as it was.
Expected<void, EncodeError> encodeValue(const TypeInfo& type, const void* value, std::string& out);

// The JSON text of `value`.
template <ModelType T>
Expected<std::string, EncodeError> encode(const T& value) {
  std::string out;
  if (auto written = encodeValue(typeInfo<T>(), &value, out); !written) return std::move(written).error();
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
  // into the same value again and again reuses its strings' and lists' storage). On failure `*out` is left in
  // an unspecified but valid state.
  Expected<void, DecodeError> decodeValue(const TypeInfo& type, std::string_view json, void* out);
  Expected<void, DecodeError> decodeValue(const TypeInfo& type, PaddedJson json, void* out);

  // Reads `json` over `value`; on failure `value` is valid but unspecified.
  template <ModelType T>
  Expected<void, DecodeError> decodeInto(std::string_view json, T& value) {
    return decodeValue(typeInfo<T>(), json, &value);
  }

  template <ModelType T>
  Expected<void, DecodeError> decodeInto(PaddedJson json, T& value) {
    return decodeValue(typeInfo<T>(), json, &value);
  }

  template <ModelType T>
  Expected<T, DecodeError> decode(std::string_view json) {
    T value{};
    if (auto read = decodeValue(typeInfo<T>(), json, &value); !read) return std::move(read).error();
    return value;
  }

 private:
  bool read(const TypeInfo& type, const char* data, std::size_t size, void* out, DecodeError& error);

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
