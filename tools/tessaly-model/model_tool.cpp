#include "model_tool.h"

#include <simdjson.h>

#include "tessaly/model/registry.h"

namespace tessaly::tools {
namespace {

using model::appendJsonString;
using model::KindInfo;
using model::KindTag;
using model::TypeInfo;

void appendKind(std::string& out, const KindInfo& kind) {
  switch (kind.tag) {
    case KindTag::List:
      out += "{\"list\":";
      appendKind(out, *kind.element);
      out += "}";
      return;
    case KindTag::Map:
      out += "{\"map\":";
      appendKind(out, *kind.element);
      out += "}";
      return;
    case KindTag::Named: appendJsonString(out, kind.type->name); return;
    case KindTag::String: appendJsonString(out, "String"); return;
    case KindTag::Bool: appendJsonString(out, "Bool"); return;
    case KindTag::UInt8: appendJsonString(out, "UInt8"); return;
    case KindTag::UInt16: appendJsonString(out, "UInt16"); return;
    case KindTag::UInt32: appendJsonString(out, "UInt32"); return;
    case KindTag::UInt64: appendJsonString(out, "UInt64"); return;
    case KindTag::Int32: appendJsonString(out, "Int32"); return;
    case KindTag::Int64: appendJsonString(out, "Int64"); return;
    case KindTag::Float: appendJsonString(out, "Float"); return;
    case KindTag::Bytes: appendJsonString(out, "Bytes"); return;
  }
}

void appendType(std::string& out, const TypeInfo& type) {
  out += "{\"name\":";
  appendJsonString(out, type.name);
  switch (type.shape) {
    case model::Shape::record:
      out += ",\"shape\":\"record\",\"fields\":[";
      for (std::size_t i = 0; i < type.fieldCount; ++i) {
        const auto& f = type.fields[i];
        if (i != 0) out += ",";
        out += "{\"name\":";
        appendJsonString(out, f.name);
        out += ",\"kind\":";
        appendKind(out, *f.kind);
        out += f.optional != nullptr ? ",\"optional\":true}" : ",\"optional\":false}";
      }
      break;
    case model::Shape::enumeration:
      out += ",\"shape\":\"enumeration\",\"cases\":[";
      for (std::size_t i = 0; i < type.caseCount; ++i) {
        if (i != 0) out += ",";
        out += "{\"name\":";
        appendJsonString(out, type.cases[i].name);
        out += ",\"wire\":";
        appendJsonString(out, type.cases[i].wire);
        out += "}";
      }
      break;
    case model::Shape::tagged_union:
      out += ",\"shape\":\"union\",\"tagKey\":";
      appendJsonString(out, type.tagKey);
      out += ",\"contentKey\":";
      appendJsonString(out, type.contentKey);
      out += ",\"cases\":[";
      for (std::size_t i = 0; i < type.caseCount; ++i) {
        const auto& c = type.cases[i];
        if (i != 0) out += ",";
        out += "{\"name\":";
        appendJsonString(out, c.name);
        out += ",\"wire\":";
        appendJsonString(out, c.wire);
        out += ",\"payload\":";
        if (c.payload != nullptr) {
          appendKind(out, *c.payload);
        } else {
          out += "null";
        }
        out += "}";
      }
      break;
  }
  out += "]}";
}

// A value of a type known only by its table, destroyed with it.
class Boxed {
 public:
  explicit Boxed(const TypeInfo& type) : type_(type), value_(type.box->create()) {}
  ~Boxed() { type_.box->destroy(value_); }
  Boxed(const Boxed&) = delete;
  Boxed& operator=(const Boxed&) = delete;
  void* get() const { return value_; }

 private:
  const TypeInfo& type_;
  void* value_;
};

std::string errorLine(std::string_view kind, std::string_view description) {
  std::string out = "{\"error\":{\"kind\":";
  appendJsonString(out, kind);
  out += ",\"path\":[],\"description\":";
  appendJsonString(out, description);
  out += "}}";
  return out;
}

}  // namespace

std::string schemaJson() {
  std::string out = "{\"types\":[";
  bool first = true;
  for (const TypeInfo* type : model::allTypes()) {
    if (!first) out += ",";
    first = false;
    appendType(out, *type);
  }
  out += "]}";
  return out;
}

bool roundTrip(const TypeInfo& type, std::string_view json, std::string& written, model::DecodeError& error) {
  thread_local model::JsonReader reader;
  Boxed value(type);
  if (!reader.decodeValue(type, json, value.get(), &error)) return false;
  model::EncodeError encodeError;
  if (!model::encodeValue(type, value.get(), written, &encodeError)) {
    error = model::DecodeError{model::DecodeErrorKind::dataCorrupted, {}, encodeError.codingPath,
                               "The value was read but cannot be written again: " + encodeError.description, {}};
    return false;
  }
  return true;
}

std::string decodeErrorJson(const model::DecodeError& error) {
  std::string out = "{\"kind\":";
  appendJsonString(out, model::toString(error.kind));
  out += ",\"path\":[";
  bool first = true;
  for (const auto& key : error.codingPath) {
    if (!first) out += ",";
    first = false;
    if (const auto* index = std::get_if<std::size_t>(&key)) {
      out += std::to_string(*index);
    } else {
      appendJsonString(out, std::get<std::string>(key));
    }
  }
  out += "],\"description\":";
  appendJsonString(out, error.description);
  out += "}";
  return out;
}

std::string checkLine(std::string_view line) {
  thread_local simdjson::dom::parser parser;
  simdjson::dom::element request;
  if (parser.parse(line.data(), line.size(), true).get(request)) {
    return errorLine("dataCorrupted", "The input line is not valid JSON.");
  }
  std::string_view typeName;
  if (request["type"].get_string().get(typeName)) {
    return errorLine("dataCorrupted", "The input line has no \"type\" string.");
  }
  simdjson::dom::element json;
  if (request["json"].get(json)) return errorLine("dataCorrupted", "The input line has no \"json\" member.");
  std::string text;
  std::string_view document;
  if (json.get_string().get(document)) {
    text = simdjson::minify(json);  // the document given as a JSON value rather than as text
    document = text;
  }
  const TypeInfo* type = model::findType(typeName);
  if (type == nullptr) return errorLine("unknownType", "No model type is named " + std::string(typeName) + ".");
  std::string written;
  model::DecodeError error;
  if (!roundTrip(*type, document, written, error)) return "{\"error\":" + decodeErrorJson(error) + "}";
  std::string out = "{\"ok\":";
  appendJsonString(out, written);
  out += "}";
  return out;
}

}  // namespace tessaly::tools
