#include "openssl_support.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <system_error>
#include <unordered_map>

namespace tessaly::codesign::detail {
namespace {

struct MdCtxFree {
  void operator()(EVP_MD_CTX* p) const noexcept { EVP_MD_CTX_free(p); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// SHA-256 fetched once: an implicit fetch on every digest costs more than hashing a code directory.
const EVP_MD* sha256Algorithm() {
  static const EVP_MD* const algorithm = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return algorithm;
}

BioPtr memoryReader(std::string_view bytes) {
  return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

// Content for CMS_verify, read through a null filter. Given a memory BIO, CMS_verify reads the content from a
// memory BIO of its own, which OpenSSL 3.0 leaks when it cannot set up the signature's digests (a SignedData
// that lists a digest algorithm OpenSSL does not know), and any file can ask for that.
BioPtr contentReader(std::string_view content) {
  BioPtr memory = memoryReader(content);
  BioPtr filter(memory ? BIO_new(BIO_f_null()) : nullptr);
  if (!filter) return nullptr;
  BIO_push(filter.get(), memory.release());
  return filter;
}

std::string bioContents(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

bool maySignCode(X509* certificate) {
  const uint32_t flags = X509_get_extension_flags(certificate);
  if (X509_check_ca(certificate) != 0) return false;
  if ((flags & EXFLAG_XKUSAGE) == 0 || (X509_get_extended_key_usage(certificate) & XKU_CODE_SIGN) == 0) return false;
  if ((flags & EXFLAG_KUSAGE) != 0 && (X509_get_key_usage(certificate) & KU_DIGITAL_SIGNATURE) == 0) return false;
  return true;
}

// ---- certificates out of a signature -------------------------------------------------------------------
//
// Decoding a certificate is the dearest part of reading a signature, and a signer's certificates are the same in
// every signature it makes. So the certificates are cut out of the CMS bytes before the rest is decoded, and each
// is decoded once and kept by the digest of its bytes.

struct Tlv {
  std::uint8_t tag = 0;
  std::size_t start = 0;
  std::size_t header = 0;
  std::size_t length = 0;
  std::size_t contentStart() const { return start + header; }
  std::size_t end() const { return start + header + length; }
};

// One DER element at `at` (single-byte tags, definite lengths), wholly inside `der`.
std::optional<Tlv> readTlv(std::string_view der, std::size_t at) {
  if (at + 2 > der.size()) return std::nullopt;
  Tlv tlv;
  tlv.tag = static_cast<std::uint8_t>(der[at]);
  tlv.start = at;
  if ((tlv.tag & 0x1f) == 0x1f) return std::nullopt;
  const auto first = static_cast<std::uint8_t>(der[at + 1]);
  if (first < 0x80) {
    tlv.header = 2;
    tlv.length = first;
  } else {
    const std::size_t count = first & 0x7f;
    if (count == 0 || count > 4 || at + 2 + count > der.size()) return std::nullopt;
    for (std::size_t i = 0; i < count; ++i) tlv.length = (tlv.length << 8) | static_cast<std::uint8_t>(der[at + 2 + i]);
    tlv.header = 2 + count;
  }
  if (tlv.length > der.size() - at - tlv.header) return std::nullopt;
  return tlv;
}

std::string wrapDer(std::uint8_t tag, std::string_view content) {
  std::string out(1, static_cast<char>(tag));
  if (content.size() < 0x80) {
    out.push_back(static_cast<char>(content.size()));
  } else {
    std::string bytes;
    for (std::size_t length = content.size(); length > 0; length >>= 8)
      bytes.insert(bytes.begin(), static_cast<char>(length & 0xff));
    out.push_back(static_cast<char>(0x80 | bytes.size()));
    out += bytes;
  }
  out.append(content);
  return out;
}

// ContentInfo { contentType, [0] EXPLICIT SignedData { version, digestAlgorithms, encapContentInfo,
// certificates [0] IMPLICIT OPTIONAL, crls [1] OPTIONAL, signerInfos } }: the same without its certificates,
// and the certificates' bytes.
struct SplitSignature {
  std::string withoutCertificates;
  std::vector<std::string_view> certificates;
};
std::optional<SplitSignature> splitCertificates(std::string_view cms) {
  const auto outer = readTlv(cms, 0);
  if (!outer || outer->tag != 0x30 || outer->end() != cms.size()) return std::nullopt;
  const auto type = readTlv(cms, outer->contentStart());
  if (!type || type->tag != 0x06) return std::nullopt;
  const auto explicitContent = readTlv(cms, type->end());
  if (!explicitContent || explicitContent->tag != 0xa0 || explicitContent->end() != outer->end()) return std::nullopt;
  const auto signedData = readTlv(cms, explicitContent->contentStart());
  if (!signedData || signedData->tag != 0x30 || signedData->end() != explicitContent->end()) return std::nullopt;
  SplitSignature split;
  std::string kept;
  for (std::size_t at = signedData->contentStart(); at < signedData->end();) {
    const auto child = readTlv(cms, at);
    if (!child || child->end() > signedData->end()) return std::nullopt;
    if (child->tag == 0xa0) {
      for (std::size_t inner = child->contentStart(); inner < child->end();) {
        const auto certificate = readTlv(cms, inner);
        if (!certificate || certificate->tag != 0x30 || certificate->end() > child->end()) return std::nullopt;
        split.certificates.push_back(cms.substr(certificate->start, certificate->end() - certificate->start));
        inner = certificate->end();
      }
    } else {
      kept.append(cms.substr(child->start, child->end() - child->start));
    }
    at = child->end();
  }
  split.withoutCertificates = wrapDer(
      0x30, std::string(cms.substr(type->start, type->end() - type->start)) + wrapDer(0xa0, wrapDer(0x30, kept)));
  return split;
}

// A certificate decoded once per process (a bounded number of them).
X509Ptr certificateFromDer(std::string_view der) {
  static std::mutex mutex;
  static auto* known = new std::unordered_map<std::string, X509Ptr>();
  const Sha256 digest = sha256Of(der);
  const std::string key(reinterpret_cast<const char*>(digest.data()), digest.size());
  {
    std::lock_guard lock(mutex);
    if (auto found = known->find(key); found != known->end()) return upRef(found->second.get());
  }
  const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
  X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  if (!certificate) {
    ERR_clear_error();
    return nullptr;
  }
  std::lock_guard lock(mutex);
  if (known->size() >= 1024) known->clear();
  (*known)[key] = upRef(certificate.get());
  return certificate;
}

// The CMS without its certificates, decoded, and the certificates it carried.
struct DecodedSignature {
  CmsPtr cms;
  std::vector<X509Ptr> certificates;
};
std::optional<DecodedSignature> decodeSignature(std::string_view bytes) {
  if (bytes.size() > kMaxSignatureSize) return std::nullopt;
  std::optional<SplitSignature> split = splitCertificates(bytes);
  if (!split) return std::nullopt;
  DecodedSignature decoded;
  const auto* cursor = reinterpret_cast<const unsigned char*>(split->withoutCertificates.data());
  decoded.cms.reset(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(split->withoutCertificates.size())));
  if (!decoded.cms) {
    ERR_clear_error();
    return std::nullopt;
  }
  for (std::string_view der : split->certificates) {
    X509Ptr certificate = certificateFromDer(der);
    if (!certificate) return std::nullopt;
    decoded.certificates.push_back(std::move(certificate));
  }
  return decoded;
}

}  // namespace

X509Ptr upRef(X509* certificate) {
  if (certificate != nullptr) X509_up_ref(certificate);
  return X509Ptr(certificate);
}

std::string takeOpenSslError() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown OpenSSL error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

std::vector<std::string> subjectValues(X509* certificate, int nid) {
  std::vector<std::string> values;
  const X509_NAME* name = X509_get_subject_name(certificate);
  for (int i = X509_NAME_get_index_by_NID(name, nid, -1); i >= 0; i = X509_NAME_get_index_by_NID(name, nid, i)) {
    unsigned char* utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)));
    if (length >= 0) values.emplace_back(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
  }
  return values;
}

std::string firstSubjectValue(X509* certificate, int nid) {
  std::vector<std::string> values = subjectValues(certificate, nid);
  return values.empty() ? std::string() : values.front();
}

std::string nameText(const X509_NAME* name) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
  return bioContents(bio.get());
}

std::vector<std::uint8_t> derOf(X509* certificate) {
  unsigned char* der = nullptr;
  int length = i2d_X509(certificate, &der);
  std::vector<std::uint8_t> bytes;
  if (length > 0) bytes.assign(der, der + length);
  OPENSSL_free(der);
  return bytes;
}

CertificateFacts factsOf(X509* certificate) {
  CertificateFacts facts;
  char oid[128];
  const X509_NAME* name = X509_get_subject_name(certificate);
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    const ASN1_OBJECT* object = X509_NAME_ENTRY_get_object(entry);
    const int nid = OBJ_obj2nid(object);
    std::string key;
    if (nid != NID_undef) {
      key = OBJ_nid2sn(nid);
    } else if (OBJ_obj2txt(oid, sizeof oid, object, 1) > 0) {
      key = oid;
    }
    unsigned char* utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
    if (length >= 0) {
      facts.subject.emplace_back(key, std::string(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length)));
    }
    OPENSSL_free(utf8);
  }
  for (int i = 0; i < X509_get_ext_count(certificate); ++i) {
    const ASN1_OBJECT* object = X509_EXTENSION_get_object(X509_get_ext(certificate, i));
    int length = OBJ_obj2txt(oid, sizeof oid, object, 1);
    if (length > 0 && static_cast<std::size_t>(length) < sizeof oid) facts.extensionOids.emplace_back(oid);
  }
  return facts;
}

std::optional<std::string> signDetached(std::string_view content, EVP_PKEY* key, X509* leaf,
                                        const std::vector<X509Ptr>& intermediates) {
  BioPtr input = memoryReader(content);
  X509StackPtr extra(sk_X509_new_null());
  if (!input || !extra) return std::nullopt;
  for (const X509Ptr& certificate : intermediates) {
    X509_up_ref(certificate.get());
    sk_X509_push(extra.get(), certificate.get());
  }
  CmsPtr cms(CMS_sign(leaf, key, extra.get(), input.get(), CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP));
  if (!cms) return std::nullopt;
  BioPtr output(BIO_new(BIO_s_mem()));
  if (!output || i2d_CMS_bio(output.get(), cms.get()) != 1) return std::nullopt;
  return bioContents(output.get());
}

OSStatus verifyDetached(std::string_view cms, std::string_view content, VerifiedSignature* verified) {
  if (cms.size() > kMaxSignatureSize) return errSecCSCMSTooLarge;
  std::optional<DecodedSignature> decoded = decodeSignature(cms);
  if (!decoded) return errSecCSSignatureFailed;
  CMS_ContentInfo* info = decoded->cms.get();
  if (OBJ_obj2nid(CMS_get0_type(info)) != NID_pkcs7_signed ||
      OBJ_obj2nid(CMS_get0_eContentType(info)) != NID_pkcs7_data || CMS_is_detached(info) != 1) {
    return errSecCSSignatureFailed;
  }
  STACK_OF(CMS_SignerInfo)* signerInfos = CMS_get0_SignerInfos(info);
  if (signerInfos == nullptr || sk_CMS_SignerInfo_num(signerInfos) != 1) return errSecCSSignatureFailed;
  X509_ALGOR* digest = nullptr;
  CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(signerInfos, 0), nullptr, nullptr, &digest, nullptr);
  const int digestNid = digest != nullptr ? OBJ_obj2nid(digest->algorithm) : NID_undef;
  if (digestNid != NID_sha256 && digestNid != NID_sha384 && digestNid != NID_sha512) {
    return errSecCSUnsupportedDigestAlgorithm;
  }
  X509StackPtr carried(sk_X509_new_null());
  for (const X509Ptr& certificate : decoded->certificates)
    sk_X509_push(carried.get(), upRef(certificate.get()).release());
  BioPtr data = contentReader(content);
  if (!data || !carried ||
      CMS_verify(info, carried.get(), nullptr, data.get(), nullptr, CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
    ERR_clear_error();
    return errSecCSSignatureFailed;
  }
  STACK_OF(X509)* signers = CMS_get0_signers(info);
  const bool oneSigner = signers != nullptr && sk_X509_num(signers) == 1;
  X509Ptr signer = oneSigner ? upRef(sk_X509_value(signers, 0)) : nullptr;
  sk_X509_free(signers);
  if (!signer) return errSecCSSignatureFailed;
  if (!maySignCode(signer.get())) return errSecCSSignatureNotVerifiable;
  verified->signer = std::move(signer);
  verified->certificates = std::move(decoded->certificates);
  return errSecSuccess;
}

std::optional<std::vector<X509Ptr>> certificatesOf(std::string_view cms) {
  std::optional<DecodedSignature> decoded = decodeSignature(cms);
  if (!decoded) return std::nullopt;
  STACK_OF(CMS_SignerInfo)* signerInfos = CMS_get0_SignerInfos(decoded->cms.get());
  CMS_SignerInfo* signerInfo = signerInfos != nullptr && sk_CMS_SignerInfo_num(signerInfos) > 0
                                   ? sk_CMS_SignerInfo_value(signerInfos, 0)
                                   : nullptr;
  std::vector<X509Ptr> certificates;
  for (X509Ptr& certificate : decoded->certificates) {
    if (signerInfo != nullptr && CMS_SignerInfo_cert_cmp(signerInfo, certificate.get()) == 0) {
      certificates.insert(certificates.begin(), std::move(certificate));
    } else {
      certificates.push_back(std::move(certificate));
    }
  }
  return certificates;
}

Chain buildChain(X509* leaf, const std::vector<X509Ptr>& carried, X509_STORE* anchors) {
  Chain chain;
  StoreCtxPtr context(X509_STORE_CTX_new());
  X509StackPtr untrusted(sk_X509_new_null());
  if (anchors != nullptr && context && untrusted) {
    for (const X509Ptr& certificate : carried) {
      X509_up_ref(certificate.get());
      sk_X509_push(untrusted.get(), certificate.get());
    }
    if (X509_STORE_CTX_init(context.get(), anchors, leaf, untrusted.get()) == 1 &&
        X509_verify_cert(context.get()) == 1) {
      STACK_OF(X509)* verified = X509_STORE_CTX_get0_chain(context.get());
      for (int i = 0; i < sk_X509_num(verified); ++i) chain.certificates.push_back(upRef(sk_X509_value(verified, i)));
      chain.trusted = true;
      return chain;
    }
  }
  ERR_clear_error();
  // Not trusted: still give requirements the chain as carried, following issuers from the leaf.
  chain.certificates.push_back(upRef(leaf));
  for (std::size_t depth = 0; depth < carried.size(); ++depth) {
    X509* current = chain.certificates.back().get();
    X509* issuer = nullptr;
    for (const X509Ptr& candidate : carried) {
      if (candidate.get() != current && X509_cmp(candidate.get(), current) != 0 &&
          X509_check_issued(candidate.get(), current) == X509_V_OK) {
        issuer = candidate.get();
        break;
      }
    }
    if (issuer == nullptr) break;
    chain.certificates.push_back(upRef(issuer));
  }
  return chain;
}

std::optional<Sha256> sha256OfFd(int fd, std::uint64_t length) {
  MdCtxPtr context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), sha256Algorithm(), nullptr) != 1) return std::nullopt;
  constexpr std::size_t kChunk = 1u << 20;
  std::vector<unsigned char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, length)));
  std::uint64_t offset = 0;
  while (offset < length) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - offset));
    ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    if (EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(got)) != 1) return std::nullopt;
    offset += static_cast<std::uint64_t>(got);
  }
  Sha256 digest{};
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &size) != 1 || size != digest.size()) return std::nullopt;
  return digest;
}

Sha256 sha256Of(std::string_view bytes) {
  Sha256 digest{};
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, sha256Algorithm(), nullptr);
  return digest;
}

}  // namespace tessaly::codesign::detail
