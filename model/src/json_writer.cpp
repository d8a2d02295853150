// The generic writer: writes any model value as compact JSON by its per-type tables.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "optional_fields.h"
#include "tessaly/model/json.h"

namespace tessaly::model {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// Bytes that cannot stand in a JSON string as they are.
constexpr bool needsEscape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// Whether any of the eight bytes of `word` needs an escape: one below 0x20, a quote or a backslash. The
// tests are exact as to whether any byte matches, which is all that is asked.
constexpr bool anyNeedsEscape(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  auto hasZero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHigh; };
  std::uint64_t below = (word - kOnes * 0x20) & ~word & kHigh;
  return (below | hasZero(word ^ (kOnes * '"')) | hasZero(word ^ (kOnes * '\\'))) != 0;
}

// The text being written: a cursor into the string's own storage, grown geometrically, so that each piece
// costs one capacity check instead of one per character. The string is cut to what was written at the end.
class Output {
 public:
  explicit Output(std::string& out) : out_(out), start_(out.size()) {
    out_.resize(std::max<std::size_t>(out_.capacity(), start_ + 256));
    cursor_ = out_.data() + start_;
    limit_ = out_.data() + out_.size();
  }

  // Room for at least n more bytes.
  char* reserve(std::size_t n) {
    if (static_cast<std::size_t>(limit_ - cursor_) < n) grow(n);
    return cursor_;
  }
  void advance(char* to) { cursor_ = to; }

  void put(char c) {
    reserve(1);
    *cursor_++ = c;
  }
  void put(std::string_view text) {
    reserve(text.size());
    std::memcpy(cursor_, text.data(), text.size());
    cursor_ += text.size();
  }

  void putString(std::string_view text) {
    char* at = reserve(text.size() + 2);
    *at++ = '"';
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
      // Eight bytes at a time while none of them needs an escape, then byte by byte through the next eight.
      while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        if (anyNeedsEscape(word)) break;
        std::memcpy(at, p, 8);
        at += 8;
        p += 8;
      }
      const auto* stop = std::min(end, p + 8);
      for (; p < stop; ++p) {
        unsigned char c = *p;
        if (!needsEscape(c)) {
          *at++ = static_cast<char>(c);
          continue;
        }
        cursor_ = at;
        at = reserve(static_cast<std::size_t>(end - p) + 6);  // this escape, the rest and the closing quote
        *at++ = '\\';
        switch (c) {
          case '"':
            *at++ = '"';
            break;
          case '\\':
            *at++ = '\\';
            break;
          case '\n':
            *at++ = 'n';
            break;
          case '\r':
            *at++ = 'r';
            break;
          case '\t':
            *at++ = 't';
            break;
          case '\b':
            *at++ = 'b';
            break;
          case '\f':
            *at++ = 'f';
            break;
          default:
            *at++ = 'u';
            *at++ = '0';
            *at++ = '0';
            *at++ = kHex[c >> 4];
            *at++ = kHex[c & 0xF];
        }
      }
    }
    *at++ = '"';
    cursor_ = at;
  }

  template <class Number>
  void putNumber(Number value) {
    char* at = reserve(32);
    cursor_ = std::to_chars(at, at + 32, value).ptr;
  }

  void finish() { out_.resize(static_cast<std::size_t>(cursor_ - out_.data())); }
  void abandon() { out_.resize(start_); }

 private:
  void grow(std::size_t n) {
    std::size_t used = static_cast<std::size_t>(cursor_ - out_.data());
    out_.resize(std::max(out_.size() * 2, used + n));
    cursor_ = out_.data() + used;
    limit_ = out_.data() + out_.size();
  }

  std::string& out_;
  std::size_t start_;
  char* cursor_;
  char* limit_;
};

class Writer {
 public:
  Writer(Output& out, EncodeError* error) : out_(out), error_(error) {}

  bool writeNamed(const TypeInfo& type, const void* value) {
    switch (type.shape) {
      case Shape::record:
        return writeRecord(type, value);
      case Shape::enumeration: {
        std::uint16_t index;
        std::memcpy(&index, value, sizeof index);
        out_.putString(type.cases[index].wire);
        return true;
      }
      case Shape::tagged_union:
        return writeUnion(type, value);
    }
    return false;
  }

 private:
  bool writeKind(const KindInfo& kind, const void* value) {
    switch (kind.tag) {
      case KindTag::String:
        out_.putString(*static_cast<const std::string*>(value));
        return true;
      case KindTag::Bool:
        out_.put(*static_cast<const bool*>(value) ? "true" : "false");
        return true;
      case KindTag::UInt8:
        out_.putNumber(*static_cast<const std::uint8_t*>(value));
        return true;
      case KindTag::UInt16:
        out_.putNumber(*static_cast<const std::uint16_t*>(value));
        return true;
      case KindTag::UInt32:
        out_.putNumber(*static_cast<const std::uint32_t*>(value));
        return true;
      case KindTag::UInt64:
        out_.putNumber(*static_cast<const std::uint64_t*>(value));
        return true;
      case KindTag::Int32:
        out_.putNumber(*static_cast<const std::int32_t*>(value));
        return true;
      case KindTag::Int64:
        out_.putNumber(*static_cast<const std::int64_t*>(value));
        return true;
      case KindTag::Float:
        return writeFloat(*static_cast<const float*>(value));
      case KindTag::Bytes:
        writeBytes(*static_cast<const std::vector<std::uint8_t>*>(value));
        return true;
      case KindTag::List:
        return writeList(kind, value);
      case KindTag::Map:
        return writeMap(kind, value);
      case KindTag::Named:
        return writeNamed(*kind.type, value);
    }
    return false;
  }

  bool writeFloat(float value) {
    if (!std::isfinite(value)) {
      if (error_ != nullptr) {
        error_->codingPath.clear();
        error_->description =
            std::string("Unable to encode Float.") + (std::isnan(value) ? "nan" : "infinity") + " directly in JSON.";
      }
      return false;
    }
    if (value == 0.0f && std::signbit(value)) {
      out_.put("-0.0");  // "-0" would read back as the integer zero and lose the sign
      return true;
    }
    out_.putNumber(value);  // the shortest text that reads back as the same Float
    return true;
  }

  void writeBytes(const std::vector<std::uint8_t>& bytes) {
    out_.put('[');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (i != 0) out_.put(',');
      out_.putNumber(bytes[i]);
    }
    out_.put(']');
  }

  bool writeList(const KindInfo& kind, const void* value) {
    const ListOps& ops = *kind.list;
    std::size_t count = ops.size(value);
    const auto* item = static_cast<const char*>(ops.data(value));
    out_.put('[');
    for (std::size_t i = 0; i < count; ++i, item += ops.elementSize) {
      if (i != 0) out_.put(',');
      if (!writeKind(*kind.element, item)) return within(i);
    }
    out_.put(']');
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
    out_.put('{');
    bool ok = kind.map->forEach(value, &visit, [](void* context, std::string_view key, const void* item) {
      auto& v = *static_cast<MapVisit*>(context);
      if (!v.first) v.writer->out_.put(',');
      v.first = false;
      v.writer->writeKey(key);
      if (v.writer->writeKind(*v.element, item)) return true;
      v.failedKey.assign(key);
      return false;
    });
    if (!ok) return within(std::move(visit.failedKey));
    out_.put('}');
    return true;
  }

  void writeKey(std::string_view key) {
    out_.putString(key);
    out_.put(':');
  }

  bool writeRecord(const TypeInfo& type, const void* value) {
    const auto* base = static_cast<const char*>(value);
    out_.put('{');
    bool first = true;
    for (std::size_t i = 0; i < type.fieldCount; ++i) {
      const FieldInfo& field = type.fields[i];
      const void* member = base + field.offset;
      if (field.optional != nullptr) {
        member = optional_fields::held(field, member);
        if (member == nullptr) continue;  // an absent optional is left out, never written as null
      }
      if (!first) out_.put(',');
      first = false;
      writeKey(field.name);
      if (!writeKind(*field.kind, member)) return within(std::string(field.name));
    }
    out_.put('}');
    return true;
  }

  bool writeUnion(const TypeInfo& type, const void* value) {
    const UnionOps& ops = *type.unionOps;
    const CaseInfo& c = type.cases[ops.index(value)];
    out_.put('{');
    writeKey(type.tagKey);
    out_.putString(c.wire);
    if (c.payload != nullptr) {
      out_.put(',');
      writeKey(type.contentKey);
      if (!writeKind(*c.payload, ops.active(value))) return within(std::string(type.contentKey));
    }
    out_.put('}');
    return true;
  }

  bool within(CodingKey key) {
    if (error_ != nullptr) error_->codingPath.insert(error_->codingPath.begin(), std::move(key));
    return false;
  }

  Output& out_;
  EncodeError* error_;
};

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  Output output(out);
  output.putString(text);
  output.finish();
}

Expected<void, EncodeError> encodeValue(const TypeInfo& type, const void* value, std::string& out) {
  Output output(out);
  EncodeError error;
  if (Writer(output, &error).writeNamed(type, value)) {
    output.finish();
    return {};
  }
  output.abandon();
  return error;
}

}  // namespace tessaly::model
