// Fuzz target: arbitrary bytes compiled as a requirement text, as `verify --requirement` and the browser checks
// compile them. A requirement that compiles prints a canonical text that compiles to the same requirement: the
// same canonical text again, and the same verdict on every chain.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tessaly/codesign/requirement.h"

namespace {

namespace cs = tessaly::codesign;

[[noreturn]] void broken(const char* what, std::string_view text) {
  std::fprintf(stderr, "requirement_fuzz: %s: %.*s\n", what, static_cast<int>(text.size()), text.data());
  std::abort();
}

cs::CertificateFacts certificate(std::vector<std::pair<std::string, std::string>> subject,
                                 std::vector<std::string> oids) {
  return cs::CertificateFacts{std::move(subject), std::move(oids)};
}

// Chains the verdicts are compared on: a trusted Developer ID chain, the vendor's own, an untrusted one, none.
const std::vector<cs::RequirementContext>& contexts() {
  static const std::vector<cs::RequirementContext> all = [] {
    cs::RequirementContext developerId;
    developerId.identifier = "Q7RM2KX9WD.com.tessaly.browser-helper";
    developerId.anchorTrusted = true;
    developerId.chain = {
        certificate({{"CN", "Developer ID Application: Tessaly (Q7RM2KX9WD)"}, {"OU", "Q7RM2KX9WD"}, {"O", "Tessaly"}},
                    {"2.5.29.15", "1.2.840.113635.100.6.1.13"}),
        certificate({{"CN", "Developer ID Certification Authority"}, {"OU", "G2"}}, {"1.2.840.113635.100.6.2.6"}),
        certificate({{"CN", "Root"}, {"C", "US"}}, {"2.5.29.19"}),
    };
    cs::RequirementContext vendor = developerId;
    vendor.identifier = "com.tessaly.a";
    vendor.chain[0] =
        certificate({{"CN", "Software Signing"}, {"CN", "a\"b\\c"}}, {std::string(cs::kVendorSoftwareSigningOid)});
    cs::RequirementContext untrusted = developerId;
    untrusted.anchorTrusted = false;
    untrusted.identifier = "";
    cs::RequirementContext none;
    none.identifier = "and";
    return std::vector<cs::RequirementContext>{developerId, vendor, untrusted, none};
  }();
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The text in storage of exactly its size, so that a read past its end is seen.
  const std::unique_ptr<char[]> storage(new char[size]);
  if (size > 0) std::memcpy(storage.get(), data, size);
  const std::string_view text(storage.get(), size);

  cs::Requirement::ParseError error;
  const auto requirement = cs::Requirement::compile(text, &error);
  if (!requirement) {
    if (error.offset > text.size() || error.message.empty()) broken("a refusal without a place or a reason", text);
    return 0;
  }
  const std::string canonical = requirement->canonicalText();
  const auto again = cs::Requirement::compile(canonical, &error);
  if (!again) broken("the canonical text does not compile", canonical);
  if (again->canonicalText() != canonical) broken("the canonical text compiles to another requirement", canonical);
  for (const cs::RequirementContext& context : contexts()) {
    if (requirement->evaluate(context) != again->evaluate(context)) {
      broken("the canonical text gives another verdict", canonical);
    }
  }
  return 0;
}
