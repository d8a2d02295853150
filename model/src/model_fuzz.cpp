// Fuzz target: arbitrary bytes read as the request and response envelopes. Whatever reads must write, and
// what it writes must read back to a value that writes the same bytes. The quick and the exact pass of the
// reader must agree on every input, in values and in errors, and reading over an earlier value must give
// what reading into a fresh one gives.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tessaly/model/core_types.h"
#include "tessaly/model/json.h"

namespace {

using tessaly::model::DecodeError;
using tessaly::model::JsonReader;

bool sameError(const DecodeError& a, const DecodeError& b) {
  return a.kind == b.kind && a.expectedType == b.expectedType && a.codingPath == b.codingPath &&
         a.description == b.description && a.underlying == b.underlying;
}

template <class T>
void check(JsonReader& quick, JsonReader& exact, T& reused, std::string_view input) {
  auto value = quick.decode<T>(input);
  auto reference = exact.decode<T>(input);
  const auto reusedRead = quick.decodeInto(input, reused);
  if (value.ok() != reference.ok() || reusedRead.ok() != value.ok()) std::abort();
  if (!value.ok()) {
    if (!sameError(value.error(), reference.error()) || !sameError(reusedRead.error(), value.error())) std::abort();
    return;
  }
  const auto text = [](const T& read) {
    auto json = tessaly::model::encode(read);
    if (!json) std::abort();  // read values are always writable
    return std::move(json).value();
  };
  const std::string first = text(*value);
  if (text(*reference) != first || text(reused) != first) std::abort();
  auto again = quick.decode<T>(first);
  if (!again.ok() || text(*again) != first) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static JsonReader quick;
  static JsonReader exact(JsonReader::Pass::exactOnly);
  // Values carried over from earlier inputs, so that reading over a value of another shape is exercised.
  static tessaly::model::CoreNmhRequest request;
  static tessaly::model::CoreNmhResponse response;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  check(quick, exact, request, input);
  check(quick, exact, response, input);
  return 0;
}
