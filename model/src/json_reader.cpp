// The generic reader: walks a simdjson document by the per-type tables and fills model values.
#include <simdjson.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "big_integers.h"
#include "optional_fields.h"
#include "tessaly/model/json.h"
#include "type_names.h"

namespace tessaly::model {
namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

const char* jsonKindName(element_type type) {
  switch (type) {
    case element_type::ARRAY:
      return "an array";
    case element_type::OBJECT:
      return "a dictionary";
    case element_type::INT64:
    case element_type::UINT64:
    case element_type::DOUBLE:
      return "a number";
    case element_type::STRING:
      return "a string";
    case element_type::BOOL:
      return "a bool";
    case element_type::NULL_VALUE:
      return "null";
  }
  return "an unknown value";
}

// Walks one document. Errors are built on the way back up: the failing value fills `error_` with its kind
// and description, and every enclosing list, map and record puts its own step in front of the path.
//
// A quick walk takes the members of each record as they come and gives up at the first fault without
// describing it. An exact walk over the same document then finds and describes the fault; it also settles
// the one document a quick walk refuses but an exact walk reads: a repeated member whose earlier value is
// faulty and whose last value is not.
//
// Integers beyond 64 bits (`bigIntegers`, when the document holds any) stand in the document as strings of
// their digits; kindOf(), stringOf() and bigIntegerOf() take them for the numbers they are.
class Walker {
 public:
  Walker(DecodeError& error, bool quick, const BigIntegers* bigIntegers)
      : error_(error), quick_(quick), bigIntegers_(bigIntegers) {}

  bool readNamed(const TypeInfo& type, element value, void* out) {
    switch (type.shape) {
      case Shape::record:
        return readRecord(type, value, out);
      case Shape::enumeration:
        return readEnumeration(type, value, out);
      case Shape::tagged_union:
        return readUnion(type, value, out);
    }
    return false;
  }

  bool readKind(const KindInfo& kind, element value, void* out) {
    switch (kind.tag) {
      case KindTag::String:
        return readString(value, out);
      case KindTag::Bool:
        return readBool(value, out);
      case KindTag::UInt8:
        return readInteger<std::uint8_t>(value, out, "UInt8");
      case KindTag::UInt16:
        return readInteger<std::uint16_t>(value, out, "UInt16");
      case KindTag::UInt32:
        return readInteger<std::uint32_t>(value, out, "UInt32");
      case KindTag::UInt64:
        return readInteger<std::uint64_t>(value, out, "UInt64");
      case KindTag::Int32:
        return readInteger<std::int32_t>(value, out, "Int32");
      case KindTag::Int64:
        return readInteger<std::int64_t>(value, out, "Int64");
      case KindTag::Float:
        return readFloat(value, out);
      case KindTag::Bytes:
        return readBytes(value, out);
      case KindTag::List:
        return readList(kind, value, out);
      case KindTag::Map:
        return readMap(kind, value, out);
      case KindTag::Named:
        return readNamed(*kind.type, value, out);
    }
    return false;
  }

 private:
  // Inside a tagged union's payload every failure is replaced by the union's own error, so the details of
  // an inner failure are not worth building.
  bool detailed() const { return !quick_ && unionDepth_ == 0; }

  // The digits of `value` when it is an integer beyond 64 bits.
  bool bigIntegerOf(element value, std::string_view& digits) const {
    return bigIntegers_ != nullptr && value.get_string().get(digits) == simdjson::SUCCESS &&
           bigIntegers_->contains(digits);
  }

  // The text of `value` when it is a string.
  bool stringOf(element value, std::string_view& text) const {
    return value.get_string().get(text) == simdjson::SUCCESS &&
           (bigIntegers_ == nullptr || !bigIntegers_->contains(text));
  }

  const char* kindOf(element value) const {
    std::string_view digits;
    return bigIntegerOf(value, digits) ? "a number" : jsonKindName(value.type());
  }

  bool fail(DecodeErrorKind kind, std::string_view expected, std::string description) {
    error_.kind = kind;
    error_.codingPath.clear();
    if (detailed()) {
      error_.expectedType.assign(expected);
      error_.description = std::move(description);
    }
    return false;
  }

  bool mismatch(std::string_view expected, element value) {
    if (value.is_null()) {
      return fail(DecodeErrorKind::valueNotFound, expected,
                  detailed() ? "Expected " + std::string(expected) + " value but found null instead." : std::string());
    }
    return fail(DecodeErrorKind::typeMismatch, expected,
                detailed() ? "Expected to decode " + std::string(expected) + " but found " + kindOf(value) + " instead."
                           : std::string());
  }

  bool numberDoesNotFit(std::string_view expected, element value) {
    std::string text;
    if (detailed()) {
      std::string_view digits;
      std::string number = bigIntegerOf(value, digits) ? std::string(digits) : simdjson::to_string(value);
      text = "Parsed JSON number <" + number + "> does not fit in " + std::string(expected) + ".";
    }
    return fail(DecodeErrorKind::dataCorrupted, expected, std::move(text));
  }

  // Puts one step in front of the path of the error being passed up.
  bool within(CodingKey key) {
    if (detailed()) error_.codingPath.insert(error_.codingPath.begin(), std::move(key));
    return false;
  }

  bool readString(element value, void* out) {
    std::string_view text;
    if (!stringOf(value, text)) return mismatch("String", value);
    auto& string = *static_cast<std::string*>(out);
    if (string.empty() && string.capacity() < text.size()) {
      string = std::string(text);  // a fresh string is made at its size at once, a cheaper way than growing it
      return true;
    }
    string.clear();  // then append, which reuses the storage without the aliasing checks of assign
    string.append(text.data(), text.size());
    return true;
  }

  bool readBool(element value, void* out) {
    bool b;
    if (value.get_bool().get(b)) return mismatch("Bool", value);
    *static_cast<bool*>(out) = b;
    return true;
  }

  template <class Int>
  bool readInteger(element value, void* out, std::string_view name) {
    Int result;
    switch (value.type()) {
      case element_type::INT64: {
        std::int64_t v = value.get_int64().value_unsafe();
        if constexpr (std::is_signed_v<Int>) {
          if (v < std::numeric_limits<Int>::min() || v > std::numeric_limits<Int>::max()) {
            return numberDoesNotFit(name, value);
          }
        } else {
          if (v < 0 || static_cast<std::uint64_t>(v) > std::numeric_limits<Int>::max()) {
            return numberDoesNotFit(name, value);
          }
        }
        result = static_cast<Int>(v);
        break;
      }
      case element_type::UINT64: {
        std::uint64_t v = value.get_uint64().value_unsafe();
        if (v > static_cast<std::uint64_t>(std::numeric_limits<Int>::max())) return numberDoesNotFit(name, value);
        result = static_cast<Int>(v);
        break;
      }
      case element_type::DOUBLE: {
        // A number written with a fraction or exponent is taken only when it is exactly an integer in range.
        double v = value.get_double().value_unsafe();
        constexpr double lowest = static_cast<double>(std::numeric_limits<Int>::min());
        constexpr double limit =
            std::is_signed_v<Int> ? -lowest : 2.0 * (static_cast<double>(std::numeric_limits<Int>::max() / 2 + 1));
        if (!(v >= lowest && v < limit) || std::trunc(v) != v) return numberDoesNotFit(name, value);
        result = static_cast<Int>(v);
        break;
      }
      default: {
        std::string_view digits;
        return bigIntegerOf(value, digits) ? numberDoesNotFit(name, value) : mismatch(name, value);
      }
    }
    std::memcpy(out, &result, sizeof(Int));
    return true;
  }

  bool readFloat(element value, void* out) {
    double v;
    switch (value.type()) {
      case element_type::INT64:
        v = static_cast<double>(value.get_int64().value_unsafe());
        break;
      case element_type::UINT64:
        v = static_cast<double>(value.get_uint64().value_unsafe());
        break;
      case element_type::DOUBLE:
        v = value.get_double().value_unsafe();
        break;
      default: {
        // An integer beyond 64 bits is as good a Float as any other number; one beyond Double is too large.
        std::string_view digits;
        if (!bigIntegerOf(value, digits)) return mismatch("Float", value);
        if (std::from_chars(digits.data(), digits.data() + digits.size(), v).ec != std::errc()) {
          return numberDoesNotFit("Float", value);
        }
      }
    }
    // Anything that rounds to the largest finite Float fits; from half a unit above it, it would round to infinity.
    constexpr double kFloatLimit = static_cast<double>(std::numeric_limits<float>::max()) + 0x1p103;
    if (!(std::fabs(v) < kFloatLimit)) return numberDoesNotFit("Float", value);
    *static_cast<float*>(out) = static_cast<float>(v);
    return true;
  }

  bool readBytes(element value, void* out) {
    simdjson::dom::array array;
    if (value.get_array().get(array)) return mismatch("Bytes", value);
    auto& bytes = *static_cast<std::vector<std::uint8_t>*>(out);
    bytes.clear();
    bytes.reserve(array.size());
    std::size_t index = 0;
    for (element item : array) {
      std::uint8_t byte = 0;
      if (!readInteger<std::uint8_t>(item, &byte, "UInt8")) return within(index);
      bytes.push_back(byte);
      ++index;
    }
    return true;
  }

  bool readList(const KindInfo& kind, element value, void* out) {
    simdjson::dom::array array;
    if (value.get_array().get(array)) return mismatch(kindTypeName(kind), value);
    const ListOps& ops = *kind.list;
    // Items the list keeps are read over; the others are made as they come, each just before it is read.
    // The parser's count is only a lower bound for very long arrays, so room is made for that many at first.
    auto* kept = static_cast<char*>(ops.prepare(out, array.size()));
    const std::size_t keptCount = ops.size(out);
    std::size_t index = 0;
    for (element entry : array) {
      void* item = index < keptCount ? kept + index * ops.elementSize : ops.append(out);
      if (!readKind(*kind.element, entry, item)) return within(index);
      ++index;
    }
    return true;
  }

  bool readMap(const KindInfo& kind, element value, void* out) {
    simdjson::dom::object object;
    if (value.get_object().get(object)) return mismatch(kindTypeName(kind), value);
    const MapOps& ops = *kind.map;
    ops.clear(out);
    for (auto member : object) {
      void* slot = ops.emplace(out, member.key);
      if (!readKind(*kind.element, member.value, slot)) return within(std::string(member.key));
    }
    return true;
  }

  bool readRecord(const TypeInfo& type, element value, void* out) {
    if (type.fieldCount == 0) return true;  // a record without fields accepts any value unexamined
    simdjson::dom::object object;
    if (value.get_object().get(object)) return mismatch(type.name, value);
    if (quick_ && type.fieldCount <= 64) return readRecordQuickly(type, object, out);

    // Find each field's member first (the last one wins if a name repeats), then read the fields in
    // declaration order so that the first faulty field is the one reported.
    constexpr std::size_t kInline = 32;
    alignas(element) unsigned char inlineSlots[kInline * sizeof(element)];
    bool inlinePresent[kInline];
    std::vector<element> heapSlots;
    std::vector<char> heapPresent;
    auto* slots = reinterpret_cast<element*>(inlineSlots);
    bool* present = inlinePresent;
    if (type.fieldCount > kInline) {
      heapSlots.resize(type.fieldCount);
      heapPresent.assign(type.fieldCount, 0);
      slots = heapSlots.data();
      present = reinterpret_cast<bool*>(heapPresent.data());
    } else {
      std::memset(present, 0, type.fieldCount);
    }
    int next = 0;
    for (auto member : object) {
      int index = findFieldFrom(type, member.key, next);
      if (index < 0) continue;
      ::new (&slots[index]) element(member.value);  // element is trivially destructible
      present[index] = true;
    }

    auto* base = static_cast<char*>(out);
    for (std::size_t i = 0; i < type.fieldCount; ++i) {
      const FieldInfo& field = type.fields[i];
      void* target = base + field.offset;
      if (!present[i] || slots[i].is_null()) {
        if (field.optional != nullptr) {  // absent and null both mean no value
          optional_fields::reset(field, target);
          continue;
        }
        if (!present[i]) {
          fail(DecodeErrorKind::keyNotFound, {},
               detailed() ? "No value associated with key \"" + std::string(field.name) + "\"." : std::string());
        } else {
          fail(DecodeErrorKind::valueNotFound, kindTypeName(*field.kind),
               detailed() ? "Expected " + kindTypeName(*field.kind) + " value but found null instead." : std::string());
        }
        return within(std::string(field.name));
      }
      if (!readField(field, slots[i], target)) return within(std::string(field.name));
    }
    return true;
  }

  // Reads a member that is present and not null into its field, engaging the field when it is optional.
  bool readField(const FieldInfo& field, element value, void* target) {
    if (field.optional != nullptr) target = optional_fields::engage(field, target);
    return readKind(*field.kind, value, target);
  }

  // Index of the field named `key`, or -1. Members usually come in declaration order with absent fields
  // left out, so the few fields after the last one found (`next`, moved past a match) are tried first.
  static int findFieldFrom(const TypeInfo& type, std::string_view key, int& next) {
    int index = -1;
    for (int j = next, end = std::min<int>(next + 4, type.fieldCount); j < end; ++j) {
      if (sameName(type.fields[j].name, key)) {
        index = j;
        break;
      }
    }
    if (index < 0) index = type.findField(key);
    if (index >= 0) next = index + 1;
    return index;
  }

  // Reads each member into its field as it comes; a repeated member is read again, so the last one wins.
  bool readRecordQuickly(const TypeInfo& type, simdjson::dom::object object, void* out) {
    std::uint64_t seen = 0;
    auto* base = static_cast<char*>(out);
    int next = 0;
    for (auto member : object) {
      int index = findFieldFrom(type, member.key, next);
      if (index < 0) continue;
      const FieldInfo& field = type.fields[index];
      seen |= std::uint64_t{1} << index;
      void* target = base + field.offset;
      if (member.value.is_null()) {
        if (field.optional == nullptr) return false;  // a required field may not be null
        optional_fields::reset(field, target);
        continue;
      }
      if (!readField(field, member.value, target)) return false;
    }
    const std::uint64_t all = type.fieldCount == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << type.fieldCount) - 1;
    std::uint64_t missing = all & ~seen;
    while (missing != 0) {
      const FieldInfo& field = type.fields[std::countr_zero(missing)];
      missing &= missing - 1;
      if (field.optional == nullptr) return false;
      optional_fields::reset(field, base + field.offset);
    }
    return true;
  }

  bool readEnumeration(const TypeInfo& type, element value, void* out) {
    std::string_view wire;
    if (!stringOf(value, wire)) return mismatch(type.name, value);
    int index = type.findCase(wire);
    if (index < 0) {
      return fail(
          DecodeErrorKind::dataCorrupted, type.name,
          detailed() ? "Cannot initialize " + std::string(type.name) + " from invalid String value " + std::string(wire)
                     : std::string());
    }
    auto raw = static_cast<std::uint16_t>(index);
    std::memcpy(out, &raw, sizeof raw);
    return true;
  }

  bool wrongType(const TypeInfo& type) {
    --unionDepth_;
    fail(DecodeErrorKind::typeMismatch, type.name,
         detailed() ? "Wrong type for " + std::string(type.name) : std::string());
    ++unionDepth_;
    return false;
  }

  bool readUnion(const TypeInfo& type, element value, void* out) {
    simdjson::dom::object object;
    if (value.get_object().get(object)) return mismatch(type.name, value);
    ++unionDepth_;
    bool ok = readUnionMembers(type, object, out);
    --unionDepth_;
    return ok;
  }

  bool readUnionMembers(const TypeInfo& type, simdjson::dom::object object, void* out) {
    element tag;
    element content;
    bool hasTag = false;
    bool hasContent = false;
    for (auto member : object) {
      if (sameName(member.key, type.tagKey)) {
        tag = member.value;
        hasTag = true;
      } else if (sameName(member.key, type.contentKey)) {
        content = member.value;
        hasContent = true;
      }
    }
    std::string_view wire;
    if (!hasTag || tag.get_string().get(wire)) return wrongType(type);  // a big integer's digits match no case
    int index = type.findCase(wire);
    if (index < 0) return wrongType(type);
    // The same case keeps its payload, which is then read over in full.
    void* payload = type.unionOps->index(out) == static_cast<std::size_t>(index)
                        ? const_cast<void*>(type.unionOps->active(out))
                        : type.unionOps->emplace(out, static_cast<std::size_t>(index));
    const CaseInfo& c = type.cases[index];
    if (c.payload == nullptr) return true;  // a unit case does not look at its content
    if (!hasContent || !readKind(*c.payload, content, payload)) return wrongType(type);
    return true;
  }

  DecodeError& error_;
  const bool quick_;
  const BigIntegers* const bigIntegers_;
  int unionDepth_ = 0;
};

// Shows `big` the strings of `value`, member names included, in document order.
void showStrings(element value, BigIntegers& big) {
  switch (value.type()) {
    case element_type::ARRAY:
      for (element item : simdjson::dom::array(value)) showStrings(item, big);
      break;
    case element_type::OBJECT:
      for (auto member : simdjson::dom::object(value)) {
        big.memberName();
        showStrings(member.value, big);
      }
      break;
    case element_type::STRING:
      big.value(value.get_string().value_unsafe());
      break;
    default:
      break;
  }
}

}  // namespace

struct JsonReader::Impl {
  explicit Impl(Pass p) : pass(p) {}
  Pass pass;
  simdjson::dom::parser parser;
  std::unique_ptr<char[]> buffer;
  std::size_t bufferCapacity = 0;
  bool allocated = false;
  BigIntegers bigIntegers;
  std::string quoted;  // the text with its big integers quoted, padded through its capacity

  // A padded copy of `json` that simdjson may read past the end of.
  const char* padded(std::string_view json) {
    std::size_t needed = json.size() + simdjson::SIMDJSON_PADDING;
    if (needed > bufferCapacity) {
      bufferCapacity = std::max(needed, bufferCapacity * 2);
      buffer = std::make_unique<char[]>(bufferCapacity);
    }
    std::memcpy(buffer.get(), json.data(), json.size());
    std::memset(buffer.get() + json.size(), 0, simdjson::SIMDJSON_PADDING);
    return buffer.get();
  }

  simdjson::error_code makeRoom(std::size_t size) {
    if (allocated && parser.capacity() >= size) return simdjson::SUCCESS;
    if (auto code = parser.allocate(std::max<std::size_t>(size, 4096), JsonReader::kMaxDepth)) return code;
    allocated = true;
    return simdjson::SUCCESS;
  }

  // Parses padded text. A document refused for a number is parsed again with its big integers quoted, if it
  // holds any; then `*big` is set. Otherwise the first parse's error stands.
  simdjson::error_code parse(const char* data, std::size_t size, element& root, const BigIntegers** big) {
    *big = nullptr;
    auto code = parser.parse(data, size, false).get(root);
    if (code != simdjson::NUMBER_ERROR || !bigIntegers.quote({data, size}, quoted)) return code;
    quoted.reserve(quoted.size() + simdjson::SIMDJSON_PADDING);
    if (auto room = makeRoom(quoted.size())) return room;
    if (auto again = parser.parse(quoted.data(), quoted.size(), false).get(root)) return again;
    showStrings(root, bigIntegers);
    if (!bigIntegers.located()) return code;
    *big = &bigIntegers;
    return simdjson::SUCCESS;
  }
};

JsonReader::JsonReader(Pass pass) : impl_(std::make_unique<Impl>(pass)) {}
JsonReader::~JsonReader() = default;

static_assert(PaddedJson::kPadding >= simdjson::SIMDJSON_PADDING);

PaddedJson::PaddedJson(std::string& text) {
  text.reserve(text.size() + kPadding);
  text_ = text;
}

Expected<void, DecodeError> JsonReader::decodeValue(const TypeInfo& type, std::string_view json, void* out) {
  DecodeError error;
  if (!read(type, impl_->padded(json), json.size(), out, error)) return error;
  return {};
}

Expected<void, DecodeError> JsonReader::decodeValue(const TypeInfo& type, PaddedJson json, void* out) {
  DecodeError error;
  if (!read(type, json.text().data(), json.text().size(), out, error)) return error;
  return {};
}

bool JsonReader::read(const TypeInfo& type, const char* data, std::size_t size, void* out, DecodeError& err) {
  if (auto code = impl_->makeRoom(size)) {
    err.kind = DecodeErrorKind::dataCorrupted;
    err.description = std::string("The given data could not be read: ") + simdjson::error_message(code);
    return false;
  }
  element root;
  const BigIntegers* big = nullptr;
  if (auto code = impl_->parse(data, size, root, &big)) {
    err.kind = DecodeErrorKind::dataCorrupted;
    err.description = code == simdjson::DEPTH_ERROR ? "The given data was not valid JSON: it is nested deeper than " +
                                                          std::to_string(kMaxDepth) + " arrays and objects."
                                                    : "The given data was not valid JSON.";
    err.underlying = simdjson::error_message(code);
    return false;
  }
  if (impl_->pass == Pass::quickThenExact) {
    if (Walker(err, true, big).readNamed(type, root, out)) return true;
    err = DecodeError{};
  }
  return Walker(err, false, big).readNamed(type, root, out);
}

}  // namespace tessaly::model
