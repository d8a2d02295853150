// Fuzz target: arbitrary bytes read as the request and response envelopes. Whatever reads must write, and
// what it writes must read back to a value that writes the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tessaly/model/core_types.h"
#include "tessaly/model/json.h"

namespace {

template <class T>
void check(tessaly::model::JsonReader& reader, std::string_view input) {
  auto value = reader.decode<T>(input);
  if (!value.ok()) return;
  std::string first = tessaly::model::encodeToJsonText(*value);
  if (first.empty()) std::abort();  // read values are always writable
  auto again = reader.decode<T>(first);
  if (!again.ok()) std::abort();
  if (tessaly::model::encodeToJsonText(*again) != first) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static tessaly::model::JsonReader reader;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  check<tessaly::model::CoreNmhRequest>(reader, input);
  check<tessaly::model::CoreNmhResponse>(reader, input);
  return 0;
}
