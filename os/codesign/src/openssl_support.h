// OpenSSL helpers: owning pointers, certificate facts, detached CMS signatures, chains to the trust anchors.
#pragma once

#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tessaly/codesign/code_directory.h"
#include "tessaly/codesign/requirement.h"
#include "tessaly/codesign/status.h"

namespace tessaly::codesign::detail {

struct X509Free {
  void operator()(X509* p) const noexcept { X509_free(p); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
};
struct CmsFree {
  void operator()(CMS_ContentInfo* p) const noexcept { CMS_ContentInfo_free(p); }
};
struct BioFree {
  void operator()(BIO* p) const noexcept { BIO_free_all(p); }
};
struct StoreFree {
  void operator()(X509_STORE* p) const noexcept { X509_STORE_free(p); }
};
struct StoreCtxFree {
  void operator()(X509_STORE_CTX* p) const noexcept { X509_STORE_CTX_free(p); }
};
struct ExtensionFree {
  void operator()(X509_EXTENSION* p) const noexcept { X509_EXTENSION_free(p); }
};
struct X509StackFree {
  void operator()(STACK_OF(X509) * p) const noexcept { sk_X509_pop_free(p, X509_free); }
};

using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, CmsFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
using StorePtr = std::unique_ptr<X509_STORE, StoreFree>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, StoreCtxFree>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, ExtensionFree>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;

X509Ptr upRef(X509* certificate);

// Last OpenSSL error as text, and the queue cleared.
std::string takeOpenSslError();

CertificateFacts factsOf(X509* certificate);
std::vector<std::string> subjectValues(X509* certificate, int nid);
std::string firstSubjectValue(X509* certificate, int nid);
std::string nameText(const X509_NAME* name);
std::vector<std::uint8_t> derOf(X509* certificate);

// Largest signature blob that is read back.
inline constexpr std::size_t kMaxSignatureSize = 1u << 20;

// Detached CMS signature over `content` by `key`/`leaf`, carrying the leaf and `intermediates`. DER bytes.
std::optional<std::string> signDetached(std::string_view content, EVP_PKEY* key, X509* leaf,
                                        const std::vector<X509Ptr>& intermediates);

// A signature whose mathematics checked out: the signer's certificate and every certificate it carried.
struct VerifiedSignature {
  X509Ptr signer;
  std::vector<X509Ptr> certificates;
};

// Checks that `cms` is one SignedData with exactly one signer, a SHA-2 digest, and a signature over `content`
// made by the carried signer certificate, which must be allowed to sign code. Trust is not decided here.
OSStatus verifyDetached(std::string_view cms, std::string_view content, VerifiedSignature* verified);

// Certificates carried by a signature, signer first, without checking anything. Nothing if it does not decode.
std::optional<std::vector<X509Ptr>> certificatesOf(std::string_view cms);

// The signing chain, leaf first, and whether it verified to one of the anchors in `anchors`.
struct Chain {
  std::vector<X509Ptr> certificates;
  bool trusted = false;
};
Chain buildChain(X509* leaf, const std::vector<X509Ptr>& carried, X509_STORE* anchors);

// SHA-256 of the first `length` bytes of `fd` (read with pread from offset 0). Fails on a short file.
std::optional<Sha256> sha256OfFd(int fd, std::uint64_t length);
Sha256 sha256Of(std::string_view bytes);

}  // namespace tessaly::codesign::detail
