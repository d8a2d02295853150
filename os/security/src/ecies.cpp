#include "tessaly/security/ecies.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace tessaly::security::ecies {
namespace {

constexpr const char* kCurve = "prime256v1";
// EVP updates take int lengths; larger inputs go through in pieces of this size.
constexpr std::size_t kPiece = 1U << 30;

struct PkeyFree {
  void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* p) const noexcept { EVP_PKEY_CTX_free(p); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* p) const noexcept { EVP_CIPHER_CTX_free(p); }
};
struct KdfFree {
  void operator()(EVP_KDF* p) const noexcept { EVP_KDF_free(p); }
};
struct KdfCtxFree {
  void operator()(EVP_KDF_CTX* p) const noexcept { EVP_KDF_CTX_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

// Bytes wiped when they go out of scope.
struct SecretBytes {
  Bytes bytes;
  ~SecretBytes() {
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
  }
};

bool isP256(EVP_PKEY* key) {
  if (key == nullptr || !EVP_PKEY_is_a(key, "EC")) return false;
  char group[64] = {};
  std::size_t length = 0;
  return EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) == 1 &&
         std::string(group, length) == kCurve;
}

// The x-coordinate of the shared point, from cofactor Diffie-Hellman, computed where `own` lives: a key held
// by a provider is used through `provider`, so the derivation runs inside it (a TPM's key never leaves the
// TPM); any other provider would only see the exported public half.
bool sharedSecret(EVP_PKEY* own, EVP_PKEY* peer, const KeyProvider& provider, SecretBytes& out) {
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(
      EVP_PKEY_CTX_new_from_pkey(provider.context, own, provider.properties));
  std::size_t length = 0;
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1) return false;
  // P-256 has cofactor 1, so cofactor Diffie-Hellman is plain Diffie-Hellman: a provider that offers no
  // cofactor setting computes the same point.
  if (EVP_PKEY_CTX_set_ecdh_cofactor_mode(ctx.get(), 1) != 1) ERR_clear_error();
  if (EVP_PKEY_derive_set_peer(ctx.get(), peer) != 1 || EVP_PKEY_derive(ctx.get(), nullptr, &length) != 1) {
    return false;
  }
  out.bytes.resize(length);
  if (EVP_PKEY_derive(ctx.get(), out.bytes.data(), &length) != 1) return false;
  out.bytes.resize(length);
  return length == 32;
}

// ANSI X9.63 KDF with SHA-256: the AES key from the shared secret, with the ephemeral public key as shared info.
bool deriveKey(const SecretBytes& secret, std::span<const std::uint8_t> sharedInfo, SecretBytes& key) {
  std::unique_ptr<EVP_KDF, KdfFree> kdf(EVP_KDF_fetch(nullptr, "X963KDF", nullptr));
  if (!kdf) return false;
  std::unique_ptr<EVP_KDF_CTX, KdfCtxFree> ctx(EVP_KDF_CTX_new(kdf.get()));
  if (!ctx) return false;
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
                         OSSL_PARAM_construct_octet_string(
                             OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(secret.bytes.data()), secret.bytes.size()),
                         OSSL_PARAM_construct_octet_string(
                             OSSL_KDF_PARAM_INFO, const_cast<std::uint8_t*>(sharedInfo.data()), sharedInfo.size()),
                         OSSL_PARAM_construct_end()};
  key.bytes.assign(kKeySize, 0);
  return EVP_KDF_derive(ctx.get(), key.bytes.data(), key.bytes.size(), params) == 1;
}

// AES-128-GCM with an all-zero 16-byte IV over `in`, written to `out` (same length); with `encrypting` the
// tag is written to `tag`, otherwise `tag` is checked.
bool aesGcm(bool encrypting, const SecretBytes& key, std::span<const std::uint8_t> in, std::uint8_t* out,
            std::uint8_t* tag) {
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  const std::array<std::uint8_t, kIvSize> iv{};
  if (!ctx || EVP_CipherInit_ex2(ctx.get(), EVP_aes_128_gcm(), nullptr, nullptr, encrypting ? 1 : 0, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kIvSize), nullptr) != 1 ||
      EVP_CipherInit_ex2(ctx.get(), nullptr, key.bytes.data(), iv.data(), encrypting ? 1 : 0, nullptr) != 1) {
    return false;
  }
  std::size_t done = 0;
  while (done < in.size()) {
    const std::size_t piece = std::min(kPiece, in.size() - done);
    int written = 0;
    if (EVP_CipherUpdate(ctx.get(), out + done, &written, in.data() + done, static_cast<int>(piece)) != 1 ||
        static_cast<std::size_t>(written) != piece) {
      return false;
    }
    done += piece;
  }
  if (!encrypting && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), tag) != 1) {
    return false;
  }
  int last = 0;
  std::uint8_t scratch[16];
  if (EVP_CipherFinal_ex(ctx.get(), scratch, &last) != 1 || last != 0) return false;
  return !encrypting || EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), tag) == 1;
}

}  // namespace

std::optional<Bytes> encodePublicKey(EVP_PKEY* key) {
  if (!isP256(key)) return std::nullopt;
  Bytes encoded(kPublicKeySize);
  std::size_t length = 0;
  if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, encoded.data(), encoded.size(), &length) != 1 ||
      length != kPublicKeySize || encoded[0] != 0x04) {
    return std::nullopt;
  }
  return encoded;
}

EVP_PKEY* decodePublicKey(std::span<const std::uint8_t> encoded) {
  if (encoded.size() != kPublicKeySize || encoded[0] != 0x04) return nullptr;
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  char curve[] = "prime256v1";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, curve, 0),
                         OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                                           const_cast<std::uint8_t*>(encoded.data()), encoded.size()),
                         OSSL_PARAM_construct_end()};
  EVP_PKEY* key = nullptr;
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params) != 1) {
    return nullptr;
  }
  // The point must lie on the curve.
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> check(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!check || EVP_PKEY_public_check(check.get()) != 1) {
    EVP_PKEY_free(key);
    return nullptr;
  }
  return key;
}

std::optional<Bytes> encryptWithEphemeral(EVP_PKEY* recipient, EVP_PKEY* ephemeral,
                                          std::span<const std::uint8_t> plaintext) {
  try {
    if (!isP256(recipient) || !isP256(ephemeral) || plaintext.size() > kMaxPlaintextSize) return std::nullopt;
    std::optional<Bytes> ephemeralPublic = encodePublicKey(ephemeral);
    SecretBytes secret;
    SecretBytes key;
    if (!ephemeralPublic || !sharedSecret(ephemeral, recipient, KeyProvider{}, secret) ||
        !deriveKey(secret, *ephemeralPublic, key)) {
      return std::nullopt;
    }
    Bytes out(kPublicKeySize + plaintext.size() + kTagSize);
    std::copy(ephemeralPublic->begin(), ephemeralPublic->end(), out.begin());
    if (!aesGcm(true, key, plaintext, out.data() + kPublicKeySize, out.data() + kPublicKeySize + plaintext.size())) {
      return std::nullopt;
    }
    return out;
  } catch (const std::bad_alloc&) { return std::nullopt; }
}

std::optional<Bytes> encrypt(EVP_PKEY* recipient, std::span<const std::uint8_t> plaintext) {
  PkeyPtr ephemeral(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", kCurve));
  if (!ephemeral) return std::nullopt;
  return encryptWithEphemeral(recipient, ephemeral.get(), plaintext);
}

std::optional<Bytes> decrypt(EVP_PKEY* recipient, std::span<const std::uint8_t> ciphertext,
                             const KeyProvider& provider) {
  try {
    if (!isP256(recipient) || ciphertext.size() < kPublicKeySize + kTagSize) return std::nullopt;
    const std::span<const std::uint8_t> ephemeralPublic = ciphertext.first(kPublicKeySize);
    const std::span<const std::uint8_t> body =
        ciphertext.subspan(kPublicKeySize, ciphertext.size() - kPublicKeySize - kTagSize);
    std::array<std::uint8_t, kTagSize> tag;
    std::copy(ciphertext.end() - kTagSize, ciphertext.end(), tag.begin());

    PkeyPtr ephemeral(decodePublicKey(ephemeralPublic));
    SecretBytes secret;
    SecretBytes key;
    if (!ephemeral || !sharedSecret(recipient, ephemeral.get(), provider, secret) ||
        !deriveKey(secret, ephemeralPublic, key)) {
      return std::nullopt;
    }
    Bytes plaintext(body.size());
    if (!aesGcm(false, key, body, plaintext.data(), tag.data())) {
      if (!plaintext.empty()) OPENSSL_cleanse(plaintext.data(), plaintext.size());
      return std::nullopt;
    }
    return plaintext;
  } catch (const std::bad_alloc&) { return std::nullopt; }
}

}  // namespace tessaly::security::ecies
