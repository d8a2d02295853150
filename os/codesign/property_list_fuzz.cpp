// Fuzz target: arbitrary bytes read as the property lists a bundle carries: its Info.plist (what locating and
// signing code take from it) and the entitlements that signing seals and checks and `display` describe. The
// library (libplist) parses; what is fuzzed here is what we do with its results.
//
// What must hold: an Info.plist that is accepted names a main executable of one path component; entitlements
// that are accepted are written as XML that is accepted again as exactly itself, and that XML means the same as
// the property list it came from (the same description of each entitlement, the same JIT entitlement).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "code_layout.h"
#include "tessaly/codesign/entitlements.h"

namespace {

namespace cs = tessaly::codesign;

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "property_list_fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The bytes in storage of exactly their size, so that a read past their end is seen.
  const std::unique_ptr<char[]> storage(new char[size]);
  if (size > 0) std::memcpy(storage.get(), data, size);
  const std::string_view bytes(storage.get(), size);

  if (const auto info = cs::detail::parseBundleInfo(bytes)) {
    const std::string& name = info->executable;
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos) {
      broken("an Info.plist names a main executable that is not one path component");
    }
  }

  std::string why;
  const std::optional<std::string> xml = cs::normalizeEntitlements(bytes, &why);
  if (!xml) {
    if (why.empty()) broken("entitlements refused without a reason");
    return 0;
  }
  const std::optional<std::string> again = cs::normalizeEntitlements(*xml);
  if (!again) broken("sealed entitlements are not accepted again");
  if (*again != *xml) broken("sealed entitlements change when they are sealed again");
  if (cs::describeEntitlements(*xml) != cs::describeEntitlements(bytes)) {
    broken("sealed entitlements describe differently from what was given");
  }
  if (cs::entitlementIsTrue(*xml, cs::kAllowJitEntitlement) != cs::entitlementIsTrue(bytes, cs::kAllowJitEntitlement)) {
    broken("sealing changes the JIT entitlement");
  }
  return 0;
}
