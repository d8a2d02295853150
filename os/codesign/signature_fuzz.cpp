// Fuzz target: arbitrary bytes read as a bare executable that may carry a signature, the way a check reads a
// file any process can prepare: the footer, the code directory, the CMS and its certificates, the chain to a
// fixed test anchor (fuzz_corpus/anchors), the requirement on that chain, the sealed entitlements, and what
// `display` shows. The footer, the code directory and the CMS are each copied into storage of exactly their size,
// so a read past any of them is seen.
//
// What must hold: a code directory that parses serialises back to its bytes and parses again to the same value;
// and one that validates (its signature verifies, its team is the signer's, the content matches its hash) keeps
// validating after that round trip.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <openssl/objects.h>

#include "code_cache.h"
#include "code_layout.h"
#include "openssl_support.h"
#include "tessaly/codesign/code_directory.h"
#include "tessaly/codesign/entitlements.h"
#include "tessaly/codesign/identity.h"
#include "tessaly/codesign/requirement.h"

namespace {

namespace cs = tessaly::codesign;
namespace detail = tessaly::codesign::detail;

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "signature_fuzz: %s\n", what);
  std::abort();
}

// A copy of `bytes` in storage of exactly their size.
class ExactCopy {
 public:
  explicit ExactCopy(const std::uint8_t* bytes, std::size_t size) : storage_(new char[size]), size_(size) {
    if (size > 0) std::memcpy(storage_.get(), bytes, size);
  }
  std::string_view view() const noexcept { return {storage_.get(), size_}; }

 private:
  std::unique_ptr<char[]> storage_;
  std::size_t size_;
};

// The requirements the agent and the browser checks ask of a chain.
const std::shared_ptr<const cs::Requirement>& requirementAt(std::size_t index) {
  static const std::shared_ptr<const cs::Requirement> requirements[] = {
      cs::Requirement::compile("anchor apple generic and certificate leaf[subject.OU] = Q7RM2KX9WD"),
      cs::Requirement::compile("anchor apple"),
      cs::Requirement::compile("anchor apple generic and (certificate leaf[field.1.2.840.113635.100.6.1.9] or "
                               "(certificate 1[field.1.2.840.113635.100.6.2.6] and "
                               "certificate leaf[field.1.2.840.113635.100.6.1.13]))"),
      cs::Requirement::compile("certificate root[subject.CN] exists and certificate -2[subject.O] exists"),
  };
  return requirements[index % std::size(requirements)];
}

// The checks of SecStaticCodeCheckValidity that need no file: signature, team, requirement, content hash.
bool validates(std::string_view content, std::string_view directoryText, const cs::CodeDirectory& directory,
               std::string_view cms) {
  const detail::SignatureVerdict verdict =
      detail::verifySignature(directoryText, cms, directory.teamIdentifier, TESSALY_FUZZ_ANCHORS);
  if (verdict.status != cs::errSecSuccess || !verdict.teamMatches) return false;
  cs::RequirementContext context;
  context.identifier = directory.identifier;
  context.chain = verdict.chain;
  context.anchorTrusted = verdict.anchorTrusted;
  for (std::size_t i = 0; i < 4; ++i) requirementAt(i)->evaluate(context);
  return directory.format == cs::CodeFormat::executable && directory.executableSize == content.size() &&
         detail::sha256Of(content) == directory.executableHash;
}

// What `display` reads of a signature without validating it.
void describe(std::string_view directoryText, std::string_view cms) {
  std::shared_ptr<const detail::SignatureFacts> facts = detail::signatureFacts(directoryText, cms);
  if (!facts) return;
  for (const std::vector<std::uint8_t>& der : facts->certificates) cs::summarizeCertificate(der);
  if (!facts->directory.entitlements.empty()) {
    cs::describeEntitlements(facts->directory.entitlements);
    cs::entitlementIsTrue(facts->directory.entitlements, cs::kAllowJitEntitlement);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < detail::kFooterSize) return 0;
  const ExactCopy footer(data + size - detail::kFooterSize, detail::kFooterSize);
  detail::Footer fields;
  if (detail::readFooter(reinterpret_cast<const unsigned char*>(footer.view().data()), size, &fields) !=
      detail::StoredSignature::State::present) {
    return 0;
  }
  const std::string_view content(reinterpret_cast<const char*>(data), fields.contentLength);
  const ExactCopy directoryCopy(data + fields.contentLength, fields.codeDirectoryLength);
  const ExactCopy cmsCopy(data + fields.contentLength + fields.codeDirectoryLength, fields.cmsLength);
  const std::string_view directoryText = directoryCopy.view();
  const std::string_view cms = cmsCopy.view();

  describe(directoryText, cms);
  const std::optional<cs::CodeDirectory> directory = cs::parseCodeDirectory(directoryText);
  if (!directory) {
    // A check stops here; what the CMS holds is still read for signing information.
    detail::certificatesOf(cms);
    return 0;
  }
  const std::string serialised = cs::serializeCodeDirectory(*directory);
  if (serialised != directoryText) broken("a parsed code directory does not serialise back to its bytes");
  const std::optional<cs::CodeDirectory> again = cs::parseCodeDirectory(serialised);
  if (!again || *again != *directory) broken("a serialised code directory does not parse back to itself");

  if (validates(content, directoryText, *directory, cms)) {
    // The same checks, uncached, over the round-tripped directory.
    detail::VerifiedSignature verified;
    if (detail::verifyDetached(cms, serialised, &verified) != cs::errSecSuccess ||
        detail::firstSubjectValue(verified.signer.get(), NID_organizationalUnitName) != again->teamIdentifier ||
        detail::sha256Of(content) != again->executableHash || again->executableSize != content.size()) {
      broken("a code directory that validated no longer validates after a round trip");
    }
  }
  return 0;
}
