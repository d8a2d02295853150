#include "model_tool.h"

#include <simdjson.h>

#include <optional>

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
    case KindTag::Named:
      appendJsonString(out, kind.type->name);
      return;
    case KindTag::String:
      appendJsonString(out, "String");
      return;
    case KindTag::Bool:
      appendJsonString(out, "Bool");
      return;
    case KindTag::UInt8:
      appendJsonString(out, "UInt8");
      return;
    case KindTag::UInt16:
      appendJsonString(out, "UInt16");
      return;
    case KindTag::UInt32:
      appendJsonString(out, "UInt32");
      return;
    case KindTag::UInt64:
      appendJsonString(out, "UInt64");
      return;
    case KindTag::Int32:
      appendJsonString(out, "Int32");
      return;
    case KindTag::Int64:
      appendJsonString(out, "Int64");
      return;
    case KindTag::Float:
      appendJsonString(out, "Float");
      return;
    case KindTag::Bytes:
      appendJsonString(out, "Bytes");
      return;
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

// The text of a check line's "json": a string's content, or the text of any other value as written.
bool documentText(simdjson::ondemand::value value, std::string& document) {
  simdjson::ondemand::json_type type;
  if (value.type().get(type)) return false;
  std::string_view text;
  simdjson::ondemand::object object;
  simdjson::ondemand::array array;
  switch (type) {
    case simdjson::ondemand::json_type::string:
      if (value.get_string().get(text)) return false;
      break;
    case simdjson::ondemand::json_type::object:
      if (value.get_object().get(object) || object.raw_json().get(text)) return false;
      break;
    case simdjson::ondemand::json_type::array:
      if (value.get_array().get(array) || array.raw_json().get(text)) return false;
      break;
    default:
      text = value.raw_json_token();
  }
  document = text;
  return true;
}

// Reads a check line with the on-demand parser, which parses only the numbers it is asked for. A "json" given
// as a JSON value may hold an integer beyond 64 bits, which the document parser refuses with the whole line;
// taken as written, it reaches the model's reader, which reports it at its member.
bool readCheckLineLazily(std::string_view line, std::string& typeName, std::string& document) {
  thread_local simdjson::ondemand::parser parser;
  simdjson::padded_string padded(line);
  simdjson::ondemand::document request;
  simdjson::ondemand::object members;
  if (parser.iterate(padded).get(request) || request.get_object().get(members)) return false;
  bool hasType = false;
  bool hasJson = false;
  for (auto member : members) {
    std::string_view key;
    simdjson::ondemand::value value;
    if (member.unescaped_key().get(key) || member.value().get(value)) return false;
    if (key == "type" && !hasType) {
      std::string_view name;
      if (value.get_string().get(name)) return false;
      typeName = name;
      hasType = true;
    } else if (key == "json" && !hasJson) {
      if (!documentText(value, document)) return false;
      hasJson = true;
    }
  }
  return hasType && hasJson && request.current_location().error() == simdjson::OUT_OF_BOUNDS;  // nothing follows
}

// Takes a check line's "type" and "json" (a "json" given as a JSON value rather than as text is taken as its
// text); otherwise returns why the line is not a check line.
std::optional<std::string_view> readCheckLine(std::string_view line, std::string& typeName, std::string& document) {
  thread_local simdjson::dom::parser parser;
  simdjson::dom::element request;
  if (auto code = parser.parse(line.data(), line.size(), true).get(request)) {
    if (code == simdjson::NUMBER_ERROR && readCheckLineLazily(line, typeName, document)) return std::nullopt;
    return "The input line is not valid JSON.";
  }
  std::string_view name;
  if (request["type"].get_string().get(name)) return "The input line has no \"type\" string.";
  typeName = name;
  simdjson::dom::element json;
  if (request["json"].get(json)) return "The input line has no \"json\" member.";
  std::string_view text;
  document = json.get_string().get(text) ? simdjson::minify(json) : std::string(text);
  return std::nullopt;
}

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
  if (auto read = reader.decodeValue(type, json, value.get()); !read) {
    error = std::move(read).error();
    return false;
  }
  if (auto encoded = model::encodeValue(type, value.get(), written); !encoded) {
    error = model::DecodeError{model::DecodeErrorKind::dataCorrupted,
                               {},
                               encoded.error().codingPath,
                               "The value was read but cannot be written again: " + encoded.error().description,
                               {}};
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
  std::string typeName;
  std::string document;
  if (auto refusal = readCheckLine(line, typeName, document)) return errorLine("dataCorrupted", *refusal);
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
