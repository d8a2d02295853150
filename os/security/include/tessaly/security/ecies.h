// The ECIES construction behind kSecKeyAlgorithmECIESEncryptionCofactorX963SHA256AESGCM, on OpenSSL keys.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tessaly::security::ecies {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t kPublicKeySize = 65;  // 0x04, X, Y
inline constexpr std::size_t kTagSize = 16;
inline constexpr std::size_t kKeySize = 16;  // AES-128 for P-256
inline constexpr std::size_t kIvSize = 16;   // all zero
// AES-GCM encrypts at most 2^39 - 256 bits with one key and IV.
inline constexpr std::uint64_t kMaxPlaintextSize = (1ULL << 36) - 32;

// Encrypts for the P-256 public key `recipient` with a fresh ephemeral key.
[[nodiscard]] std::optional<Bytes> encrypt(EVP_PKEY* recipient, std::span<const std::uint8_t> plaintext);

// Encrypts with the given ephemeral P-256 private key (for known-answer checks; never reuse one).
[[nodiscard]] std::optional<Bytes> encryptWithEphemeral(EVP_PKEY* recipient, EVP_PKEY* ephemeral,
                                                        std::span<const std::uint8_t> plaintext);

// Where a private key is used: the library context that loaded its provider and the properties that select
// that provider ("provider=tpm2"); both null for keys of OpenSSL's default provider.
struct KeyProvider {
  OSSL_LIB_CTX* context = nullptr;
  const char* properties = nullptr;
};

// Decrypts with the P-256 private key `recipient`, used through `provider`; nothing for any malformed or
// altered ciphertext.
[[nodiscard]] std::optional<Bytes> decrypt(EVP_PKEY* recipient, std::span<const std::uint8_t> ciphertext,
                                           const KeyProvider& provider = {});

// The uncompressed X9.63 form of a P-256 key's public point.
[[nodiscard]] std::optional<Bytes> encodePublicKey(EVP_PKEY* key);

// A P-256 public key from its uncompressed X9.63 form (the point must lie on the curve). Caller frees it.
[[nodiscard]] EVP_PKEY* decodePublicKey(std::span<const std::uint8_t> encoded);

}  // namespace tessaly::security::ecies
