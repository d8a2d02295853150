#include <openssl/objects.h>
#include <sys/stat.h>

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

RequirementContext contextFor(const CodeDirectory& directory, const detail::Chain& chain) {
  RequirementContext context;
  context.identifier = directory.identifier;
  context.anchorTrusted = chain.trusted;
  for (const detail::X509Ptr& certificate : chain.certificates) context.chain.push_back(detail::factsOf(certificate.get()));
  return context;
}

}  // namespace

OSStatus StaticCode::create(const std::filesystem::path& path, SecStaticCodeRef* code) {
  detail::CodeLocation location;
  detail::UniqueFd executable;
  OSStatus status = detail::locateCode(path, &location, &executable);
  if (status != errSecSuccess) return status;
  StoredSignature signature = location.format == CodeFormat::bundle ? detail::readBundleSignature(location.root)
                                                                    : detail::readAppendedSignature(executable.get());
  *code = std::make_shared<const StaticCode>(std::move(location), std::move(executable), std::move(signature));
  return errSecSuccess;
}

SecStaticCodeRef StaticCode::forExecutable(const std::filesystem::path& executablePath, detail::UniqueFd executable) {
  detail::CodeLocation location = detail::locationOfExecutable(executablePath);
  StoredSignature signature = location.format == CodeFormat::bundle ? detail::readBundleSignature(location.root)
                                                                    : detail::readAppendedSignature(executable.get());
  return std::make_shared<const StaticCode>(std::move(location), std::move(executable), std::move(signature));
}

OSStatus StaticCode::checkExecutable(const CodeDirectory& directory) const {
  std::uint64_t length = 0;
  if (location_.format == CodeFormat::bundle) {
    struct stat info {};
    if (directory.executablePath != location_.executableRelative || ::fstat(executable_.get(), &info) != 0) {
      return errSecCSSignatureFailed;
    }
    length = static_cast<std::uint64_t>(info.st_size);
  } else {
    length = signature_.contentLength;
  }
  if (length != directory.executableSize) return errSecCSSignatureFailed;
  std::optional<Sha256> digest = detail::sha256OfFd(executable_.get(), length);
  return digest && *digest == directory.executableHash ? errSecSuccess : errSecCSSignatureFailed;
}

OSStatus StaticCode::checkResources(const CodeDirectory& directory) const {
  std::vector<SealedResource> present;
  OSStatus status = detail::listResources(location_.root, location_.executableRelative, false, &present);
  if (status != errSecSuccess) return status;
  // Same set of paths, kinds, sizes and link targets first; then the hashes.
  if (present.size() != directory.resources.size()) return errSecCSBadResource;
  for (std::size_t i = 0; i < present.size(); ++i) {
    const SealedResource& sealed = directory.resources[i];
    const SealedResource& found = present[i];
    if (sealed.path != found.path || sealed.isLink != found.isLink) return errSecCSBadResource;
    if (sealed.isLink ? sealed.linkTarget != found.linkTarget : sealed.size != found.size) return errSecCSBadResource;
    if (sealed.isLink && !detail::linkStaysInside(sealed.path, sealed.linkTarget)) return errSecCSInvalidSymlink;
  }
  for (const SealedResource& sealed : directory.resources) {
    if (sealed.isLink) continue;
    std::optional<Sha256> digest = detail::hashResource(location_.root, sealed.path, sealed.size);
    if (!digest || *digest != sealed.sha256) return errSecCSBadResource;
  }
  return errSecSuccess;
}

OSStatus StaticCode::checkValidity(SecCSFlags flags, const Requirement* requirement) const {
  if ((flags & ~kValidityFlags) != 0) return errSecCSInvalidFlags;
  if (signature_.state == StoredSignature::State::absent) return errSecCSUnsigned;
  if (signature_.state == StoredSignature::State::malformed) return errSecCSSignatureFailed;
  std::optional<CodeDirectory> directory = parseCodeDirectory(signature_.codeDirectory);
  if (!directory || directory->format != location_.format) return errSecCSSignatureFailed;

  detail::VerifiedSignature verified;
  OSStatus status = detail::verifyDetached(signature_.cms, signature_.codeDirectory, &verified);
  if (status != errSecSuccess) return status;
  // The team the directory claims must be the signer's own organisational unit.
  if (directory->teamIdentifier != detail::firstSubjectValue(verified.signer.get(), NID_organizationalUnitName)) {
    return errSecCSBadTeamIdentifier;
  }
  if (location_.format == CodeFormat::bundle && (status = checkResources(*directory)) != errSecSuccess) return status;
  if ((status = checkExecutable(*directory)) != errSecSuccess) return status;

  if (requirement != nullptr) {
    detail::Chain chain = detail::buildChain(verified.signer.get(), verified.certificates, trustAnchorsDirectory());
    if (!requirement->evaluate(contextFor(*directory, chain))) return errSecCSReqFailed;
  }
  return errSecSuccess;
}

OSStatus StaticCode::copySigningInformation(SecCSFlags flags, SigningInformation* information) const {
  if ((flags & ~kInformationFlags) != 0) return errSecCSInvalidFlags;
  SigningInformation info;
  info.emplace(kSecCodeInfoMainExecutable, location_.executablePath.native());
  info.emplace(kSecCodeInfoFormat, std::string(location_.format == CodeFormat::bundle ? "bundle" : "executable"));
  if (signature_.state == StoredSignature::State::malformed) return errSecCSSignatureFailed;
  if (signature_.state == StoredSignature::State::present) {
    std::optional<CodeDirectory> directory = parseCodeDirectory(signature_.codeDirectory);
    std::optional<std::vector<detail::X509Ptr>> certificates = detail::certificatesOf(signature_.cms);
    if (!directory || !certificates) return errSecCSSignatureFailed;
    const Sha256 unique = detail::sha256Of(signature_.codeDirectory);
    info.emplace(kSecCodeInfoSource, std::string(location_.format == CodeFormat::bundle ? "bundle" : "embedded"));
    info.emplace(kSecCodeInfoIdentifier, directory->identifier);
    if (!directory->teamIdentifier.empty()) info.emplace(kSecCodeInfoTeamIdentifier, directory->teamIdentifier);
    info.emplace(kSecCodeInfoUnique, Bytes(unique.begin(), unique.end()));
    info.emplace(kSecCodeInfoDigestAlgorithm, kDigestSha256);
    if ((flags & kSecCSSigningInformation) != 0) {
      std::vector<Bytes> ders;
      for (const detail::X509Ptr& certificate : *certificates) ders.push_back(detail::derOf(certificate.get()));
      info.emplace(kSecCodeInfoCertificates, std::move(ders));
    }
    if ((flags & kSecCSRequirementInformation) != 0) {
      const bool vendor = !certificates->empty() &&
                          detail::factsOf(certificates->front().get()).hasExtension(kVendorSoftwareSigningOid);
      if (!directory->teamIdentifier.empty()) {
        info.emplace(kSecCodeInfoDesignatedRequirement,
                     "identifier " + quotedText(directory->identifier) +
                         " and anchor apple generic and certificate leaf[subject.OU] = " +
                         quotedText(directory->teamIdentifier));
      } else if (vendor) {
        info.emplace(kSecCodeInfoDesignatedRequirement, "identifier " + quotedText(directory->identifier) + " and anchor apple");
      }
    }
  }
  *information = std::move(info);
  return errSecSuccess;
}

}  // namespace tessaly::codesign
