// Signing identities (private key and certificate chain) and the throwaway development authority issuing them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tessaly/codesign/status.h"

namespace tessaly::codesign {

// A private key with its leaf certificate and the intermediates up to (not including) the root. Stored as one
// PEM file: the private key, then the leaf, then the intermediates.
class SigningIdentity {
 public:
  static std::optional<SigningIdentity> load(const std::filesystem::path& file, Failure* failure);

  // The leaf's organisational unit: the team identifier the signature will carry (empty when none).
  const std::string& teamIdentifier() const noexcept;
  const std::string& commonName() const noexcept;

  struct Impl;
  const Impl& impl() const noexcept { return *impl_; }

 private:
  explicit SigningIdentity(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<const Impl> impl_;
};

// Kinds of leaf the development authority issues, each under the intermediate and with the extensions of the
// real certificate kind it stands for.
enum class IdentityKind {
  developerId,  // Developer ID application: intermediate 1.2.840.113635.100.6.2.6, leaf 1.2.840.113635.100.6.1.13
  appStore,     // App Store application: intermediate 1.2.840.113635.100.6.2.1, leaf 1.2.840.113635.100.6.1.9
  development,  // development certificate: intermediate 1.2.840.113635.100.6.2.1, leaf 1.2.840.113635.100.6.1.12
  vendor,       // the platform vendor's own software signing: leaf 1.2.840.113635.100.6.22, no team
};

std::optional<IdentityKind> identityKindFromName(std::string_view name) noexcept;

// One identity to issue, as issueIdentity issues it: its file name under identities/, kind, common name and team.
struct IdentityRequest {
  std::string name;
  IdentityKind kind = IdentityKind::developerId;
  std::string commonName;
  std::string team;
};

struct DevPkiOptions {
  std::string team;                   // the team of developer-id, app-store and development
  std::string otherTeam;              // the team of other-team; empty picks one that differs from `team`
  std::vector<IdentityRequest> more;  // issued besides the standard identities
  bool replace = false;               // start over when DIR already holds an authority
};

// Makes a development authority in `dir`:
//   anchors/root.pem           the root to trust (point TESSALY_TRUST_ANCHORS here)
//   authority/*.pem            keys and certificates of the root and intermediates (to issue more identities)
//   identities/<name>          developer-id, app-store, development, vendor, other-team and those of `more`
// Private keys are written with mode 0600. Refuses to overwrite an existing authority unless `replace`.
std::optional<Failure> createDevPki(const std::filesystem::path& dir, const DevPkiOptions& options);

// Issues one more identity from the authority in `dir` into dir/identities/<name>.
std::optional<Failure> issueIdentity(const std::filesystem::path& dir, const std::string& name, IdentityKind kind,
                                     const std::string& commonName, const std::string& team);

// One line per certificate for people: subject, issuer and expiry, from DER bytes.
struct CertificateSummary {
  std::string subject;
  std::string issuer;
  std::string notAfter;
  std::string sha256;  // of the DER bytes, lower-case hex
};
std::optional<CertificateSummary> summarizeCertificate(std::span<const std::uint8_t> der);

}  // namespace tessaly::codesign
