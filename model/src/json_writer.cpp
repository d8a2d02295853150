// The generic writer: writes any model value as compact JSON by its per-type tables.
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "tessaly/model/json.h"

namespace tessaly::model {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// Bytes that cannot stand in a JSON string as they are.
constexpr bool needsEscape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

void writeString(std::string& out, std::string_view text) {
  out.push_back('"');
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    const char* run = p;
    while (p < end && !needsEscape(static_cast<unsigned char>(*p))) ++p;
    out.append(run, p);
    if (p == end) break;
    unsigned char c = static_cast<unsigned char>(*p++);
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      case '\t': out.append("\\t"); break;
      case '\b': out.append("\\b"); break;
      case '\f': out.append("\\f"); break;
      default: {
        char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.append(escape, sizeof escape);
      }
    }
  }
  out.push_back('"');
}

template <class Number>
void writeNumber(std::string& out, Number value) {
  char buffer[32];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

class Writer {
 public:
  Writer(std::string& out, EncodeError* error) : out_(out), error_(error) {}

  bool writeNamed(const TypeInfo& type, const void* value) {
    switch (type.shape) {
      case Shape::record: return writeRecord(type, value);
      case Shape::enumeration: {
        std::uint16_t index;
        std::memcpy(&index, value, sizeof index);
        writeString(out_, type.cases[index].wire);
        return true;
      }
      case Shape::tagged_union: return writeUnion(type, value);
    }
    return false;
  }

 private:
  bool writeKind(const KindInfo& kind, const void* value) {
    switch (kind.tag) {
      case KindTag::String: writeString(out_, *static_cast<const std::string*>(value)); return true;
      case KindTag::Bool: out_.append(*static_cast<const bool*>(value) ? "true" : "false"); return true;
      case KindTag::UInt8: writeNumber(out_, *static_cast<const std::uint8_t*>(value)); return true;
      case KindTag::UInt16: writeNumber(out_, *static_cast<const std::uint16_t*>(value)); return true;
      case KindTag::UInt32: writeNumber(out_, *static_cast<const std::uint32_t*>(value)); return true;
      case KindTag::UInt64: writeNumber(out_, *static_cast<const std::uint64_t*>(value)); return true;
      case KindTag::Int32: writeNumber(out_, *static_cast<const std::int32_t*>(value)); return true;
      case KindTag::Int64: writeNumber(out_, *static_cast<const std::int64_t*>(value)); return true;
      case KindTag::Float: return writeFloat(*static_cast<const float*>(value));
      case KindTag::Bytes: writeBytes(*static_cast<const std::vector<std::uint8_t>*>(value)); return true;
      case KindTag::List: return writeList(kind, value);
      case KindTag::Map: return writeMap(kind, value);
      case KindTag::Named: return writeNamed(*kind.type, value);
    }
    return false;
  }

  bool writeFloat(float value) {
    if (!std::isfinite(value)) {
      if (error_ != nullptr) {
        error_->codingPath.clear();
        error_->description = std::string("Unable to encode Float.") + (std::isnan(value) ? "nan" : "infinity") +
                              " directly in JSON.";
      }
      return false;
    }
    if (value == 0.0f && std::signbit(value)) {
      out_.append("-0.0");  // "-0" would read back as the integer zero and lose the sign
      return true;
    }
    writeNumber(out_, value);  // the shortest text that reads back as the same Float
    return true;
  }

  void writeBytes(const std::vector<std::uint8_t>& bytes) {
    out_.push_back('[');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (i != 0) out_.push_back(',');
      writeNumber(out_, bytes[i]);
    }
    out_.push_back(']');
  }

  bool writeList(const KindInfo& kind, const void* value) {
    const ListOps& ops = *kind.list;
    std::size_t count = ops.size(value);
    const auto* item = static_cast<const char*>(ops.data(value));
    out_.push_back('[');
    for (std::size_t i = 0; i < count; ++i, item += ops.elementSize) {
      if (i != 0) out_.push_back(',');
      if (!writeKind(*kind.element, item)) return within(i);
    }
    out_.push_back(']');
    return true;
  }

  struct MapVisit {
    Writer* writer;
    const KindInfo* element;
    bool first = true;
    std::string failedKey;
  };

  bool writeMap(const KindInfo& kind, const void* value) {
    MapVisit visit{this, kind.element, true, {}};
    out_.push_back('{');
    bool ok = kind.map->forEach(value, &visit, [](void* context, std::string_view key, const void* item) {
      auto& v = *static_cast<MapVisit*>(context);
      if (!v.first) v.writer->out_.push_back(',');
      v.first = false;
      writeString(v.writer->out_, key);
      v.writer->out_.push_back(':');
      if (v.writer->writeKind(*v.element, item)) return true;
      v.failedKey.assign(key);
      return false;
    });
    if (!ok) return within(std::move(visit.failedKey));
    out_.push_back('}');
    return true;
  }

  void writeKey(std::string_view key) {
    writeString(out_, key);
    out_.push_back(':');
  }

  bool writeRecord(const TypeInfo& type, const void* value) {
    const auto* base = static_cast<const char*>(value);
    out_.push_back('{');
    bool first = true;
    for (std::size_t i = 0; i < type.fieldCount; ++i) {
      const FieldInfo& field = type.fields[i];
      const void* member = base + field.offset;
      if (field.optional != nullptr) {
        member = field.optional->get(member);
        if (member == nullptr) continue;  // an absent optional is left out, never written as null
      }
      if (!first) out_.push_back(',');
      first = false;
      writeKey(field.name);
      if (!writeKind(*field.kind, member)) return within(std::string(field.name));
    }
    out_.push_back('}');
    return true;
  }

  bool writeUnion(const TypeInfo& type, const void* value) {
    const UnionOps& ops = *type.unionOps;
    const CaseInfo& c = type.cases[ops.index(value)];
    out_.push_back('{');
    writeKey(type.tagKey);
    writeString(out_, c.wire);
    if (c.payload != nullptr) {
      out_.push_back(',');
      writeKey(type.contentKey);
      if (!writeKind(*c.payload, ops.active(value))) return within(std::string(type.contentKey));
    }
    out_.push_back('}');
    return true;
  }

  bool within(CodingKey key) {
    if (error_ != nullptr) error_->codingPath.insert(error_->codingPath.begin(), std::move(key));
    return false;
  }

  std::string& out_;
  EncodeError* error_;
};

}  // namespace

void appendJsonString(std::string& out, std::string_view text) { writeString(out, text); }

bool encodeValue(const TypeInfo& type, const void* value, std::string& out, EncodeError* error) {
  std::size_t start = out.size();
  Writer writer(out, error);
  if (writer.writeNamed(type, value)) return true;
  out.resize(start);
  return false;
}

}  // namespace tessaly::model
