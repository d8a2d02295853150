// Keys: the Security key functions over the device key store (device_key_store.h) that stands in for the
// secure enclave.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "tessaly/foundation/error.h"
#include "tessaly/security/sec_item.h"

namespace tessaly::security {

using Error = foundation::Error;

// Key operations, in the platform's numbering.
enum SecKeyOperationType : std::int32_t {
  kSecKeyOperationTypeSign = 0,
  kSecKeyOperationTypeVerify = 1,
  kSecKeyOperationTypeEncrypt = 2,
  kSecKeyOperationTypeDecrypt = 3,
  kSecKeyOperationTypeKeyExchange = 4,
};

using SecKeyAlgorithm = std::string_view;
// ECIES: cofactor ECDH on P-256, ANSI X9.63 KDF with SHA-256 (shared info: the ephemeral public key) giving an
// AES-128 key, AES-GCM with an all-zero 16-byte IV and a 16-byte tag. Ciphertext: the ephemeral public key
// (65 bytes, uncompressed X9.63), the encrypted bytes, the tag.
inline constexpr SecKeyAlgorithm kSecKeyAlgorithmECIESEncryptionCofactorX963SHA256AESGCM =
    "algid:encrypt:ECIES:ECDHC:KDFX963:SHA256:AESGCM";

// Access-control flags.
inline constexpr std::uint64_t kSecAccessControlPrivateKeyUsage = 1ULL << 30;

// Protection and constraints of a key: which accessibility class it belongs to and how it may be used.
class SecAccessControl {
 public:
  SecAccessControl(std::string protection, std::uint64_t flags) : protection_(std::move(protection)), flags_(flags) {}
  const std::string& protection() const noexcept { return protection_; }
  std::uint64_t flags() const noexcept { return flags_; }

 private:
  std::string protection_;
  std::uint64_t flags_;
};

// An access-control object for one of the five accessibility constants. The only constraint this system
// can honour is kSecAccessControlPrivateKeyUsage (the private key is used in place and never leaves the
// store); any other flag, or an unknown protection, fails with an NSOSStatusErrorDomain error (errSecParam).
SecAccessControlRef SecAccessControlCreateWithFlags(std::string_view protection, std::uint64_t flags,
                                                    std::optional<Error>* error);

// Makes a P-256 key pair. `parameters`: kSecAttrKeyType = kSecAttrKeyTypeECSECPrimeRandom,
// kSecAttrKeySizeInBits = 256, optionally kSecAttrTokenID = kSecAttrTokenIDSecureEnclave, and
// kSecPrivateKeyAttrs = { kSecAttrIsPermanent, kSecAttrApplicationTag (data), kSecAttrAccessControl }.
// A permanent key is kept in the device key store under its tag; when the tag already has a key, that key is
// returned (or the error that it cannot be used) and nothing is replaced.
// Returns the private key, or nothing with an NSOSStatusErrorDomain error: errSecParam for parameters this
// system does not support, errSecIO when the key cannot be stored.
[[nodiscard]] SecKeyRef SecKeyCreateRandomKey(const SecDictionary& parameters, std::optional<Error>* error);

// The public key of a key pair (a public key gives itself); nothing if it cannot be derived.
SecKeyRef SecKeyCopyPublicKey(const SecKeyRef& key);

// A public key from its external form (65-byte uncompressed X9.63 P-256 point); nothing with an
// NSOSStatusErrorDomain error (errSecParam) otherwise. Private keys cannot be imported.
[[nodiscard]] SecKeyRef SecKeyCreateWithPublicData(std::span<const std::uint8_t> data, std::optional<Error>* error);

// The external form of a public key; private keys are never exported (nothing, with errSecParam).
[[nodiscard]] std::optional<Bytes> SecKeyCopyExternalRepresentation(const SecKeyRef& key, std::optional<Error>* error);

// Whether `key` can perform `operation` with `algorithm`: encryption with a public key and decryption with a
// private key, both with kSecKeyAlgorithmECIESEncryptionCofactorX963SHA256AESGCM.
bool SecKeyIsAlgorithmSupported(const SecKeyRef& key, SecKeyOperationType operation, SecKeyAlgorithm algorithm);

// Encrypts with a public key. Fails (nothing) when the key or algorithm does not fit or the plaintext is
// longer than AES-GCM allows; such failures carry no error.
[[nodiscard]] std::optional<Bytes> SecKeyCreateEncryptedData(const SecKeyRef& key, SecKeyAlgorithm algorithm,
                                                             std::span<const std::uint8_t> plaintext,
                                                             std::optional<Error>* error);

// Decrypts with a private key. Fails (nothing) when the key or algorithm does not fit, or the ciphertext is
// malformed, was made for another key or was altered; such failures carry no error.
[[nodiscard]] std::optional<Bytes> SecKeyCreateDecryptedData(const SecKeyRef& key, SecKeyAlgorithm algorithm,
                                                             std::span<const std::uint8_t> ciphertext,
                                                             std::optional<Error>* error);

}  // namespace tessaly::security
