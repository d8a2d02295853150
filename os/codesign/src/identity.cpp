#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "code_layout.h"
#include "identity_impl.h"

namespace tessaly::codesign {
namespace {

namespace fs = std::filesystem;
using detail::BioPtr;
using detail::ExtensionPtr;
using detail::PkeyPtr;
using detail::X509Ptr;

constexpr int kValidityDays = 3650;
constexpr std::size_t kMaxIdentityFileSize = 1u << 20;

constexpr const char* kDeveloperIdIntermediateOid = "1.2.840.113635.100.6.2.6";
constexpr const char* kDeveloperRelationsIntermediateOid = "1.2.840.113635.100.6.2.1";
constexpr const char* kDeveloperIdLeafOid = "1.2.840.113635.100.6.1.13";
constexpr const char* kAppStoreLeafOid = "1.2.840.113635.100.6.1.9";
constexpr const char* kDevelopmentLeafOid = "1.2.840.113635.100.6.1.12";

// Intermediates of the authority, one per family of leaves, as files under authority/.
struct IntermediateProfile {
  const char* file;
  const char* commonName;
  const char* markerOid;  // may be null
};
constexpr IntermediateProfile kDeveloperIdAuthority{
    "developer-id.pem", "Developer ID Certification Authority (development)", kDeveloperIdIntermediateOid};
constexpr IntermediateProfile kRelationsAuthority{"developer-relations.pem",
                                                  "Developer Relations Certification Authority (development)",
                                                  kDeveloperRelationsIntermediateOid};
constexpr IntermediateProfile kSoftwareAuthority{"software-signing.pem",
                                                 "Software Signing Certification Authority (development)", nullptr};

const IntermediateProfile& intermediateFor(IdentityKind kind) {
  switch (kind) {
    case IdentityKind::developerId:
      return kDeveloperIdAuthority;
    case IdentityKind::appStore:
    case IdentityKind::development:
      return kRelationsAuthority;
    case IdentityKind::vendor:
      return kSoftwareAuthority;
  }
  return kDeveloperIdAuthority;
}

const char* leafOidFor(IdentityKind kind) {
  switch (kind) {
    case IdentityKind::developerId:
      return kDeveloperIdLeafOid;
    case IdentityKind::appStore:
      return kAppStoreLeafOid;
    case IdentityKind::development:
      return kDevelopmentLeafOid;
    case IdentityKind::vendor:
      return kVendorSoftwareSigningOid.data();
  }
  return nullptr;
}

struct KeyAndCertificate {
  PkeyPtr key;
  X509Ptr certificate;
};

Failure openSslFailure(const std::string& what) {
  return Failure{errSecCSInternalError, what + ": " + detail::takeOpenSslError()};
}

bool addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

// A non-critical extension whose value is an ASN.1 NULL: the marker form of the certificate-kind extensions.
bool addMarker(X509* certificate, const char* oid) {
  std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> object(OBJ_txt2obj(oid, 1), ASN1_OBJECT_free);
  std::unique_ptr<ASN1_OCTET_STRING, decltype(&ASN1_OCTET_STRING_free)> value(ASN1_OCTET_STRING_new(),
                                                                              ASN1_OCTET_STRING_free);
  static const unsigned char kNull[] = {0x05, 0x00};
  if (!object || !value || ASN1_OCTET_STRING_set(value.get(), kNull, sizeof kNull) != 1) return false;
  ExtensionPtr extension(X509_EXTENSION_create_by_OBJ(nullptr, object.get(), 0, value.get()));
  return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

bool setRandomSerial(X509* certificate) {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
  bytes[0] &= 0x7f;
  bytes[0] |= 0x01;
  std::unique_ptr<BIGNUM, decltype(&BN_free)> number(BN_bin2bn(bytes, sizeof bytes, nullptr), BN_free);
  return number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(certificate)) != nullptr;
}

struct SubjectNames {
  std::string commonName;
  std::string organisationalUnit;
  std::string organisation;
};

enum class Role { root, intermediate, leaf };

// Makes and signs one certificate. `issuer` is null for the self-signed root.
std::optional<KeyAndCertificate> makeCertificate(const KeyAndCertificate* issuer, const SubjectNames& subject,
                                                 Role role, const char* markerOid) {
  KeyAndCertificate made;
  made.key.reset(EVP_EC_gen("P-256"));
  made.certificate.reset(X509_new());
  X509* certificate = made.certificate.get();
  if (!made.key || !certificate || X509_set_version(certificate, 2) != 1 || !setRandomSerial(certificate)) {
    return std::nullopt;
  }
  X509_NAME* name = X509_get_subject_name(certificate);
  auto addName = [&](const char* field, const std::string& value) {
    return value.empty() ||
           X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.c_str()),
                                      -1, -1, 0) == 1;
  };
  if (!addName("CN", subject.commonName) || !addName("OU", subject.organisationalUnit) ||
      !addName("O", subject.organisation) || !addName("C", "US")) {
    return std::nullopt;
  }
  X509* issuerCertificate = issuer != nullptr ? issuer->certificate.get() : certificate;
  EVP_PKEY* issuerKey = issuer != nullptr ? issuer->key.get() : made.key.get();
  if (X509_set_issuer_name(certificate, X509_get_subject_name(issuerCertificate)) != 1 ||
      X509_gmtime_adj(X509_getm_notBefore(certificate), -86400) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(certificate), 86400L * kValidityDays) == nullptr ||
      X509_set_pubkey(certificate, made.key.get()) != 1) {
    return std::nullopt;
  }
  bool ok = addExtension(certificate, issuerCertificate, NID_subject_key_identifier, "hash");
  if (issuer != nullptr)
    ok = ok && addExtension(certificate, issuerCertificate, NID_authority_key_identifier, "keyid:always");
  switch (role) {
    case Role::root:
      ok = ok && addExtension(certificate, issuerCertificate, NID_basic_constraints, "critical,CA:TRUE") &&
           addExtension(certificate, issuerCertificate, NID_key_usage, "critical,keyCertSign,cRLSign");
      break;
    case Role::intermediate:
      ok = ok && addExtension(certificate, issuerCertificate, NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
           addExtension(certificate, issuerCertificate, NID_key_usage, "critical,keyCertSign,cRLSign");
      break;
    case Role::leaf:
      ok = ok && addExtension(certificate, issuerCertificate, NID_basic_constraints, "critical,CA:FALSE") &&
           addExtension(certificate, issuerCertificate, NID_key_usage, "critical,digitalSignature") &&
           addExtension(certificate, issuerCertificate, NID_ext_key_usage, "critical,codeSigning");
      break;
  }
  if (markerOid != nullptr) ok = ok && addMarker(certificate, markerOid);
  if (!ok || X509_sign(certificate, issuerKey, EVP_sha256()) <= 0) return std::nullopt;
  return made;
}

std::optional<Failure> writeFile(const fs::path& file, const std::string& bytes, mode_t mode) {
  detail::UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (!fd) return Failure{errSecCSInternalError, "cannot write " + file.native() + ": " + std::strerror(errno)};
  ::fchmod(fd.get(), mode);
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t wrote = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0)
      return Failure{errSecCSInternalError, "cannot write " + file.native() + ": " + std::strerror(errno)};
    done += static_cast<std::size_t>(wrote);
  }
  return std::nullopt;
}

std::string pemOf(EVP_PKEY* key, const std::vector<X509*>& certificates) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (key != nullptr) PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
  for (X509* certificate : certificates) PEM_write_bio_X509(bio.get(), certificate);
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

std::optional<KeyAndCertificate> loadAuthority(const fs::path& file, Failure* failure) {
  std::optional<std::string> bytes = detail::readSmallFile(file, kMaxIdentityFileSize);
  if (!bytes) {
    *failure = Failure{errSecCSInternalError, "cannot read " + file.native()};
    return std::nullopt;
  }
  KeyAndCertificate authority;
  BioPtr keyBio(BIO_new_mem_buf(bytes->data(), static_cast<int>(bytes->size())));
  BioPtr certificateBio(BIO_new_mem_buf(bytes->data(), static_cast<int>(bytes->size())));
  authority.key.reset(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
  authority.certificate.reset(PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr));
  if (!authority.key || !authority.certificate) {
    *failure = openSslFailure("cannot read the authority in " + file.native());
    return std::nullopt;
  }
  return authority;
}

std::optional<Failure> writeIdentity(const fs::path& dir, const std::string& name, const KeyAndCertificate& leaf,
                                     X509* intermediate) {
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
    return Failure{errSecParam, "invalid identity name '" + name + "'"};
  }
  return writeFile(dir / "identities" / name, pemOf(leaf.key.get(), {leaf.certificate.get(), intermediate}), 0600);
}

std::optional<Failure> issueFrom(const fs::path& dir, const KeyAndCertificate& intermediate, const std::string& name,
                                 IdentityKind kind, const std::string& commonName, const std::string& team,
                                 const std::string& organisation) {
  if (kind == IdentityKind::vendor && !team.empty()) {
    return Failure{errSecParam, "the vendor's software-signing identity carries no team"};
  }
  std::optional<KeyAndCertificate> leaf =
      makeCertificate(&intermediate, SubjectNames{commonName, team, organisation}, Role::leaf, leafOidFor(kind));
  if (!leaf) return openSslFailure("cannot issue " + name);
  return writeIdentity(dir, name, *leaf, intermediate.certificate.get());
}

bool isTeamIdentifier(const std::string& team) {
  return !team.empty() && team.size() <= 64 &&
         std::all_of(team.begin(), team.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

}  // namespace

std::optional<IdentityKind> identityKindFromName(std::string_view name) noexcept {
  if (name == "developer-id") return IdentityKind::developerId;
  if (name == "app-store") return IdentityKind::appStore;
  if (name == "development") return IdentityKind::development;
  if (name == "vendor") return IdentityKind::vendor;
  return std::nullopt;
}

const std::string& SigningIdentity::teamIdentifier() const noexcept { return impl_->team; }
const std::string& SigningIdentity::commonName() const noexcept { return impl_->commonName; }

std::optional<SigningIdentity> SigningIdentity::load(const fs::path& file, Failure* failure) {
  Failure ignored;
  Failure& out = failure != nullptr ? *failure : ignored;
  std::optional<std::string> bytes = detail::readSmallFile(file, kMaxIdentityFileSize);
  if (!bytes) {
    out = Failure{errSecParam, "cannot read the identity " + file.native()};
    return std::nullopt;
  }
  auto impl = std::make_shared<Impl>();
  BioPtr keyBio(BIO_new_mem_buf(bytes->data(), static_cast<int>(bytes->size())));
  impl->key.reset(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
  BioPtr certificateBio(BIO_new_mem_buf(bytes->data(), static_cast<int>(bytes->size())));
  std::vector<X509Ptr> certificates;
  while (X509* certificate = PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr)) {
    certificates.emplace_back(certificate);
  }
  ERR_clear_error();
  if (!impl->key || certificates.empty()) {
    out = Failure{errSecParam, file.native() + " holds no private key and certificate"};
    return std::nullopt;
  }
  for (X509Ptr& certificate : certificates) {
    if (!impl->leaf && X509_check_private_key(certificate.get(), impl->key.get()) == 1) {
      impl->leaf = std::move(certificate);
    } else {
      impl->intermediates.push_back(std::move(certificate));
    }
  }
  ERR_clear_error();
  if (!impl->leaf) {
    out = Failure{errSecParam, file.native() + ": no certificate matches the private key"};
    return std::nullopt;
  }
  impl->team = detail::firstSubjectValue(impl->leaf.get(), NID_organizationalUnitName);
  impl->commonName = detail::firstSubjectValue(impl->leaf.get(), NID_commonName);
  return SigningIdentity(std::move(impl));
}

std::optional<Failure> createDevPki(const fs::path& dir, const DevPkiOptions& options) {
  if (!isTeamIdentifier(options.team)) return Failure{errSecParam, "the team must be letters and digits"};
  std::string otherTeam = options.otherTeam;
  if (otherTeam.empty()) otherTeam = options.team == "A1B2C3D4E5" ? "F6G7H8J9K0" : "A1B2C3D4E5";
  if (!isTeamIdentifier(otherTeam) || otherTeam == options.team) {
    return Failure{errSecParam, "the other team must be letters and digits and differ from the team"};
  }
  std::error_code ec;
  if (fs::exists(dir / "anchors" / "root.pem", ec) && !options.replace) {
    return Failure{errSecParam, dir.native() + " already holds a development authority"};
  }
  for (const char* sub : {"anchors", "authority", "identities"}) fs::remove_all(dir / sub, ec);
  for (const char* sub : {"anchors", "authority", "identities"}) {
    fs::create_directories(dir / sub, ec);
    if (ec) return Failure{errSecCSInternalError, "cannot create " + (dir / sub).native() + ": " + ec.message()};
  }
  fs::permissions(dir / "authority", fs::perms::owner_all, ec);
  fs::permissions(dir / "identities", fs::perms::owner_all, ec);

  std::optional<KeyAndCertificate> root = makeCertificate(
      nullptr, SubjectNames{"Tessaly Development Root CA", "", "Tessaly Development Authority"}, Role::root, nullptr);
  if (!root) return openSslFailure("cannot make the root");
  std::optional<Failure> failure =
      writeFile(dir / "anchors" / "root.pem", pemOf(nullptr, {root->certificate.get()}), 0644);
  if (!failure)
    failure = writeFile(dir / "authority" / "root.pem", pemOf(root->key.get(), {root->certificate.get()}), 0600);
  if (failure) return failure;

  for (const IntermediateProfile* layout : {&kDeveloperIdAuthority, &kRelationsAuthority, &kSoftwareAuthority}) {
    std::optional<KeyAndCertificate> intermediate =
        makeCertificate(&*root, SubjectNames{layout->commonName, "", "Tessaly Development Authority"},
                        Role::intermediate, layout->markerOid);
    if (!intermediate) return openSslFailure(std::string("cannot make ") + layout->commonName);
    failure = writeFile(dir / "authority" / layout->file,
                        pemOf(intermediate->key.get(), {intermediate->certificate.get()}), 0600);
    if (failure) return failure;
  }

  struct Standard {
    const char* name;
    IdentityKind kind;
    std::string commonName;
    std::string team;
    std::string organisation;
  };
  const std::string own = "Tessaly Development";
  const Standard standard[] = {
      {"developer-id", IdentityKind::developerId, "Developer ID Application: " + own + " (" + options.team + ")",
       options.team, own},
      {"app-store", IdentityKind::appStore, "App Store Application: " + own + " (" + options.team + ")", options.team,
       own},
      {"development", IdentityKind::development, "Development: " + own + " (" + options.team + ")", options.team, own},
      {"vendor", IdentityKind::vendor, "Software Signing", "", "Platform Vendor"},
      {"other-team", IdentityKind::developerId, "Developer ID Application: Other Development Team (" + otherTeam + ")",
       otherTeam, "Other Development Team"},
  };
  for (const Standard& identity : standard) {
    std::optional<KeyAndCertificate> intermediate =
        loadAuthority(dir / "authority" / intermediateFor(identity.kind).file, &failure.emplace());
    if (!intermediate) return failure;
    failure = issueFrom(dir, *intermediate, identity.name, identity.kind, identity.commonName, identity.team,
                        identity.organisation);
    if (failure) return failure;
  }
  for (const IdentityRequest& request : options.more) {
    failure = issueIdentity(dir, request.name, request.kind, request.commonName, request.team);
    if (failure) return failure;
  }
  return std::nullopt;
}

std::optional<Failure> issueIdentity(const fs::path& dir, const std::string& name, IdentityKind kind,
                                     const std::string& commonName, const std::string& team) {
  if (commonName.empty()) return Failure{errSecParam, "the common name must not be empty"};
  if (!team.empty() && !isTeamIdentifier(team)) return Failure{errSecParam, "the team must be letters and digits"};
  Failure failure;
  std::optional<KeyAndCertificate> intermediate =
      loadAuthority(dir / "authority" / intermediateFor(kind).file, &failure);
  if (!intermediate) return failure;
  std::string organisation = commonName;
  if (auto colon = organisation.find(": "); colon != std::string::npos) organisation.erase(0, colon + 2);
  if (auto paren = organisation.rfind(" ("); paren != std::string::npos) organisation.erase(paren);
  return issueFrom(dir, *intermediate, name, kind, commonName, team, organisation);
}

std::optional<CertificateSummary> summarizeCertificate(std::span<const std::uint8_t> der) {
  const unsigned char* cursor = der.data();
  X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  if (!certificate) {
    ERR_clear_error();
    return std::nullopt;
  }
  CertificateSummary summary;
  summary.subject = detail::nameText(X509_get_subject_name(certificate.get()));
  summary.issuer = detail::nameText(X509_get_issuer_name(certificate.get()));
  BioPtr bio(BIO_new(BIO_s_mem()));
  ASN1_TIME_print(bio.get(), X509_get0_notAfter(certificate.get()));
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  summary.notAfter.assign(data, static_cast<std::size_t>(size));
  const Sha256 digest = detail::sha256Of(std::string_view(reinterpret_cast<const char*>(der.data()), der.size()));
  summary.sha256 = toHex(digest);
  return summary;
}

}  // namespace tessaly::codesign
