// The commands of tessaly-model: describe the model, check documents, decode and frame them.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>

#include "tessaly/model/json.h"
#include "tessaly/model/type_info.h"

namespace tessaly::tools {

// The whole model as one JSON document: {"types":[...]} sorted by type name.
std::string schemaJson();

// Reads one document as `type`, writes it again. On failure fills `error` and returns false.
bool roundTrip(const model::TypeInfo& type, std::string_view json, std::string& written, model::DecodeError& error);

// {"kind":K,"path":[...],"description":D}
std::string decodeErrorJson(const model::DecodeError& error);

// Answers one `{"type":T,"json":TEXT}` line with `{"ok":TEXT2}` or `{"error":{...}}`.
std::string checkLine(std::string_view line);

}  // namespace tessaly::tools
