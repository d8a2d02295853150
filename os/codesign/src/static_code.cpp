#include <openssl/objects.h>
#include <sys/stat.h>

#include "code_cache.h"
#include "code_objects.h"
#include "openssl_support.h"

namespace tessaly::codesign {
namespace {

using detail::StoredSignature;

constexpr SecCSFlags kValidityFlags = kSecCSCheckAllArchitectures | kSecCSCheckNestedCode | kSecCSStrictValidate;
constexpr SecCSFlags kInformationFlags = kSecCSSigningInformation | kSecCSRequirementInformation;
constexpr std::int64_t kDigestSha256 = 2;

std::string quotedText(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

}  // namespace

OSStatus StaticCode::create(const std::filesystem::path& path, SecStaticCodeRef* code) {
  detail::CodeLocation location;
  detail::UniqueFd executable;
  OSStatus status = detail::locateCode(path, &location, &executable);
  if (status != errSecSuccess) return status;
  StoredSignature signature = readSignature(location, executable.get());
  *code = std::make_shared<const StaticCode>(std::move(location), std::move(executable), std::move(signature));
  return errSecSuccess;
}

SecStaticCodeRef StaticCode::forExecutable(const std::filesystem::path& executablePath, detail::UniqueFd executable) {
  detail::CodeLocation location = detail::locationOfExecutable(executablePath);
  StoredSignature signature = readSignature(location, executable.get());
  return std::make_shared<const StaticCode>(std::move(location), std::move(executable), std::move(signature));
}

StoredSignature StaticCode::readSignature(const detail::CodeLocation& location, int executable) {
  return location.format == CodeFormat::bundle ? detail::readBundleSignature(location.rootDirectory.get())
                                               : detail::readAppendedSignature(executable);
}

// Sizes, paths and links first, then the hashes, unless these very files were hashed before.
OSStatus StaticCode::checkSealedBytes(const CodeDirectory& directory, std::vector<detail::FileIdentity>* sealed) const {
  detail::VerifiedCode current;
  struct stat info {};
  if (::fstat(executable_.get(), &info) != 0) return errSecCSSignatureFailed;
  current.executable = detail::identityOf(info);
  const bool bundle = location_.format == CodeFormat::bundle;
  if (bundle) {
    std::vector<SealedResource> present;
    OSStatus status = detail::listResources(location_.rootDirectory.get(), location_.executableRelative, false,
                                            &present, &current.resources);
    if (status != errSecSuccess) return status;
    if (present.size() != directory.resources.size()) return errSecCSBadResource;
    for (std::size_t i = 0; i < present.size(); ++i) {
      const SealedResource& expected = directory.resources[i];
      const SealedResource& found = present[i];
      if (expected.path != found.path || expected.isLink != found.isLink) return errSecCSBadResource;
      if (expected.isLink ? expected.linkTarget != found.linkTarget : expected.size != found.size) {
        return errSecCSBadResource;
      }
    }
  }
  const std::uint64_t length = bundle ? current.executable.size : signature_.contentLength;
  if ((bundle && directory.executablePath != location_.executableRelative) || length != directory.executableSize) {
    return errSecCSSignatureFailed;
  }
  const Sha256 directoryDigest = detail::sha256Of(signature_.codeDirectory);
  if (!detail::isKnownVerified(directoryDigest, current)) {
    const timespec started = detail::coarseNow();
    for (std::size_t i = 0; i < directory.resources.size(); ++i) {
      const SealedResource& expected = directory.resources[i];
      if (expected.isLink) continue;
      std::optional<Sha256> digest =
          detail::hashResource(location_.rootDirectory.get(), expected.path, expected.size, &current.resources[i]);
      if (!digest || *digest != expected.sha256) return errSecCSBadResource;
    }
    std::optional<Sha256> digest = detail::sha256OfFd(executable_.get(), length);
    if (!digest || *digest != directory.executableHash) return errSecCSSignatureFailed;
    if (sealed != nullptr) *sealed = current.resources;
    detail::rememberVerified(directoryDigest, std::move(current), started);
    return errSecSuccess;
  }
  if (sealed != nullptr) *sealed = std::move(current.resources);
  return errSecSuccess;
}

OSStatus StaticCode::checkValidity(SecCSFlags flags, const Requirement* requirement,
                                   std::vector<detail::FileIdentity>* sealed) const {
  if ((flags & ~kValidityFlags) != 0) return errSecCSInvalidFlags;
  if (signature_.state == StoredSignature::State::absent) return errSecCSUnsigned;
  if (signature_.state == StoredSignature::State::malformed) return errSecCSSignatureFailed;
  std::optional<CodeDirectory> directory = parseCodeDirectory(signature_.codeDirectory);
  if (!directory || directory->format != location_.format) return errSecCSSignatureFailed;

  // Trust before work: the signature, its team and its chain are settled before a byte of code is read, so
  // that code nobody trusts is refused at the cost of a signature check, whatever its size.
  const detail::SignatureVerdict verdict = detail::verifySignature(signature_.codeDirectory, signature_.cms,
                                                                   directory->teamIdentifier, trustAnchorsDirectory());
  if (verdict.status != errSecSuccess) return verdict.status;
  if (!verdict.teamMatches) return errSecCSBadTeamIdentifier;
  if (requirement != nullptr) {
    RequirementContext context;
    context.identifier = directory->identifier;
    context.chain = verdict.chain;
    context.anchorTrusted = verdict.anchorTrusted;
    if (!requirement->evaluate(context)) return errSecCSReqFailed;
  }
  return checkSealedBytes(*directory, sealed);
}

std::string StaticCode::entitlements() const {
  if (signature_.state != StoredSignature::State::present) return {};
  std::shared_ptr<const detail::SignatureFacts> facts =
      detail::signatureFacts(signature_.codeDirectory, signature_.cms);
  return facts ? facts->directory.entitlements : std::string();
}

OSStatus StaticCode::copySigningInformation(SecCSFlags flags, SigningInformation* information) const {
  if ((flags & ~kInformationFlags) != 0) return errSecCSInvalidFlags;
  SigningInformation info;
  info.emplace(kSecCodeInfoMainExecutable, location_.executablePath.native());
  info.emplace(kSecCodeInfoFormat, std::string(location_.format == CodeFormat::bundle ? "bundle" : "executable"));
  if (signature_.state == StoredSignature::State::malformed) return errSecCSSignatureFailed;
  if (signature_.state == StoredSignature::State::present) {
    std::shared_ptr<const detail::SignatureFacts> facts =
        detail::signatureFacts(signature_.codeDirectory, signature_.cms);
    if (!facts) return errSecCSSignatureFailed;
    const CodeDirectory& directory = facts->directory;
    info.emplace(kSecCodeInfoSource, std::string(location_.format == CodeFormat::bundle ? "bundle" : "embedded"));
    info.emplace(kSecCodeInfoIdentifier, directory.identifier);
    if (!directory.teamIdentifier.empty()) info.emplace(kSecCodeInfoTeamIdentifier, directory.teamIdentifier);
    info.emplace(kSecCodeInfoUnique, Bytes(facts->unique.begin(), facts->unique.end()));
    info.emplace(kSecCodeInfoDigestAlgorithm, kDigestSha256);
    if (!directory.entitlements.empty()) info.emplace(kSecCodeInfoEntitlements, directory.entitlements);
    if ((flags & kSecCSSigningInformation) != 0) info.emplace(kSecCodeInfoCertificates, facts->certificates);
    if ((flags & kSecCSRequirementInformation) != 0) {
      if (!directory.teamIdentifier.empty()) {
        info.emplace(
            kSecCodeInfoDesignatedRequirement,
            "identifier " + quotedText(directory.identifier) +
                " and anchor apple generic and certificate leaf[subject.OU] = " + quotedText(directory.teamIdentifier));
      } else if (facts->vendorLeaf) {
        info.emplace(kSecCodeInfoDesignatedRequirement,
                     "identifier " + quotedText(directory.identifier) + " and anchor apple");
      }
    }
  }
  *information = std::move(info);
  return errSecSuccess;
}

}  // namespace tessaly::codesign
