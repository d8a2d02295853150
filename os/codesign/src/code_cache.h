// Process-wide caches of the code-signing services, like the platform's own: the trust anchors, the verdicts on
// signatures and signing chains, and the code whose sealed bytes were found to match their hashes.
#pragma once

#include <time.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "code_layout.h"
#include "openssl_support.h"
#include "tessaly/codesign/requirement.h"

namespace tessaly::codesign::detail {

// The roots in one directory, loaded once and again only when the directory or a file in it changes.
struct AnchorStore {
  StorePtr store;
  std::uint64_t generation = 0;  // changes with every reload
};
std::shared_ptr<const AnchorStore> anchorStore(const std::filesystem::path& directory);

// What a signature says once its mathematics checked out: the status of that check (success, or why it failed),
// whether the team it claims is the signer's, and the facts of its chain as the requirement language sees them.
struct SignatureVerdict {
  OSStatus status = errSecCSSignatureFailed;
  bool teamMatches = false;
  std::vector<CertificateFacts> chain;  // leaf first
  bool anchorTrusted = false;
};

// Verifies `cms` over `codeDirectory` and builds its chain to the anchors in `anchorsDirectory`. Verdicts are kept
// by the digest of both texts; chains by the digest of the certificates that make them, so new code signed by a
// known identity only costs its own signature check.
SignatureVerdict verifySignature(std::string_view codeDirectory, std::string_view cms, const std::string& claimedTeam,
                                 const std::filesystem::path& anchorsDirectory);

// What a stored signature states, read without validating it: the code directory, the certificates it carries
// (DER, signer first) and whether the signer is the platform vendor's own software-signing certificate. Kept by
// the digest of both texts. Nothing when either does not decode.
struct SignatureFacts {
  CodeDirectory directory;
  Sha256 unique{};  // SHA-256 of the code directory
  std::vector<std::vector<std::uint8_t>> certificates;
  bool vendorLeaf = false;
};
std::shared_ptr<const SignatureFacts> signatureFacts(std::string_view codeDirectory, std::string_view cms);

// Code whose sealed bytes were verified: the identities of the main executable and of every sealed file (in the
// code directory's order, empty for links), kept by the digest of the code directory.
struct VerifiedCode {
  FileIdentity executable;
  std::vector<FileIdentity> resources;
};
bool isKnownVerified(const Sha256& codeDirectoryDigest, const VerifiedCode& current);

// Remembers code verified by hashes that began at `hashingStarted` (CLOCK_REALTIME_COARSE). A file changed within
// the file system clock's last tick before then might change again without its change time moving, so such code is
// not remembered.
void rememberVerified(const Sha256& codeDirectoryDigest, VerifiedCode code, const timespec& hashingStarted);
timespec coarseNow() noexcept;

// Forgets every verdict on signatures and every verified code object, as if no code had been checked yet; the
// anchors, the decoded certificates and the verdicts on their chains stay (signers already known). For measuring
// first checks.
void forgetCodeCaches();

}  // namespace tessaly::codesign::detail
