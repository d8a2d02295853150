#include "test_support.h"

#include <cstring>
#include <limits>

namespace tessaly::model::testing {

std::string pathJson(const std::vector<CodingKey>& path) {
  std::string out = "[";
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (i != 0) out += ",";
    if (const auto* index = std::get_if<std::size_t>(&path[i])) {
      out += std::to_string(*index);
    } else {
      appendJsonString(out, std::get<std::string>(path[i]));
    }
  }
  return out + "]";
}

::testing::AssertionResult failsWith(const TypeInfo& type, std::string_view json, DecodeErrorKind kind,
                                     std::string_view path, std::string_view description) {
  for (auto pass : {JsonReader::Pass::quickThenExact, JsonReader::Pass::exactOnly}) {
    Box value(type);
    auto result = JsonReader(pass).decodeValue(type, json, value.value);
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

std::string reencode(const TypeInfo& type, std::string_view json) {
  Box value(type);
  auto read = JsonReader().decodeValue(type, json, value.value);
  std::string out;
  if (!read.ok()) {
    ADD_FAILURE() << json << " failed: " << toString(read.error().kind) << " at " << pathJson(read.error().codingPath)
                  << ": " << read.error().description;
  } else if (!encodeValue(type, value.value, out).ok()) {
    ADD_FAILURE() << json << " was read but cannot be written";
  }
  return out;
}

namespace {
// Lists and maps beyond this depth stay empty, so recursive types (icons within icons) end.
constexpr int kMaxDepth = 6;
}  // namespace

template <class Int>
Int ValueGenerator::integer() {
  switch (below(4)) {
    case 0:
      return std::numeric_limits<Int>::min();
    case 1:
      return std::numeric_limits<Int>::max();
    case 2:
      return Int{0};
    default:
      return std::uniform_int_distribution<long long>(0, 1000)(random_) % (std::numeric_limits<Int>::max() / 2 + 1);
  }
}

std::string ValueGenerator::text() {
  static constexpr const char* kSamples[] = {"",
                                             "a",
                                             "0$$",
                                             "quote \" backslash \\ slash /",
                                             "line\nbreak\ttab\x01\x1f",
                                             "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x91",
                                             "B1E0C8F4-7A21-4E0B-9C3D-5F6A7B8C9D0E",
                                             "https://example.com/login?next=%2F"};
  return kSamples[below(std::size(kSamples))];
}

void ValueGenerator::fillKind(const KindInfo& kind, void* out, int depth) {
  switch (kind.tag) {
    case KindTag::String:
      *static_cast<std::string*>(out) = text();
      return;
    case KindTag::Bool:
      *static_cast<bool*>(out) = below(2) == 1;
      return;
    case KindTag::UInt8:
      *static_cast<std::uint8_t*>(out) = integer<std::uint8_t>();
      return;
    case KindTag::UInt16:
      *static_cast<std::uint16_t*>(out) = integer<std::uint16_t>();
      return;
    case KindTag::UInt32:
      *static_cast<std::uint32_t*>(out) = integer<std::uint32_t>();
      return;
    case KindTag::UInt64:
      *static_cast<std::uint64_t*>(out) = integer<std::uint64_t>();
      return;
    case KindTag::Int32:
      *static_cast<std::int32_t*>(out) = integer<std::int32_t>();
      return;
    case KindTag::Int64:
      *static_cast<std::int64_t*>(out) = integer<std::int64_t>();
      return;
    case KindTag::Float: {
      static constexpr float kFloats[] = {0.0f, -0.0f, 1.0f, 0.1f, -2.5e-38f, 3.4028235e38f, 1e-45f, 123456.789f};
      *static_cast<float*>(out) = kFloats[below(std::size(kFloats))];
      return;
    }
    case KindTag::Bytes: {
      auto& bytes = *static_cast<std::vector<std::uint8_t>*>(out);
      bytes.resize(below(5));
      for (auto& b : bytes) b = static_cast<std::uint8_t>(below(256));
      return;
    }
    case KindTag::List: {
      std::size_t count = depth >= kMaxDepth ? 0 : below(3);
      kind.list->prepare(out, 0);
      for (std::size_t i = 0; i < count; ++i) fillKind(*kind.element, kind.list->append(out), depth + 1);
      return;
    }
    case KindTag::Map: {
      std::size_t count = depth >= kMaxDepth ? 0 : below(3);
      for (std::size_t i = 0; i < count; ++i) {
        fillKind(*kind.element, kind.map->emplace(out, "key" + std::to_string(i) + text()), depth + 1);
      }
      return;
    }
    case KindTag::Named:
      fillNamed(*kind.type, out, depth + 1);
      return;
  }
}

void ValueGenerator::fillNamed(const TypeInfo& type, void* out, int depth) {
  switch (type.shape) {
    case Shape::record:
      for (std::size_t i = 0; i < type.fieldCount; ++i) {
        const FieldInfo& field = type.fields[i];
        void* target = static_cast<char*>(out) + field.offset;
        if (field.optional != nullptr) {
          if (below(3) == 0) continue;
          target = field.optional->engage(target);
        }
        fillKind(*field.kind, target, depth);
      }
      return;
    case Shape::enumeration: {
      auto index = static_cast<std::uint16_t>(below(type.caseCount));
      std::memcpy(out, &index, sizeof index);
      return;
    }
    case Shape::tagged_union: {
      std::size_t index = below(type.caseCount);
      void* payload = type.unionOps->emplace(out, index);
      if (type.cases[index].payload != nullptr) fillKind(*type.cases[index].payload, payload, depth);
      return;
    }
  }
}

}  // namespace tessaly::model::testing
