#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <memory>

#include "sec_key_impl.h"
#include "tessaly/security/device_key_store.h"
#include "tessaly/security/ecies.h"

namespace tessaly::security {
namespace {

constexpr std::array<std::string_view, 5> kProtections = {
    kSecAttrAccessibleWhenUnlocked, kSecAttrAccessibleAfterFirstUnlock, kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly,
    kSecAttrAccessibleWhenUnlockedThisDeviceOnly, kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly};

void setError(std::optional<Error>* error, OSStatus status, std::string description) {
  if (error != nullptr) *error = statusError(status, std::move(description));
}

const SecValue* find(const SecDictionary& dictionary, std::string_view key) {
  auto it = dictionary.find(key);
  return it == dictionary.end() ? nullptr : &it->second;
}

bool isKeySize256(const SecValue* value) {
  if (value == nullptr) return true;
  if (const std::int64_t* bits = value->integer()) return *bits == 256;
  if (const std::string* bits = value->text()) return *bits == "256";
  return false;
}

}  // namespace

Error statusError(OSStatus status, std::string description) {
  return Error{std::string(foundation::kNSOSStatusErrorDomain), status,
               std::map<std::string, std::string>{
                   {std::string(foundation::kNSLocalizedDescriptionKey), std::move(description)}}};
}

SecAccessControlRef SecAccessControlCreateWithFlags(std::string_view protection, std::uint64_t flags,
                                                    std::optional<Error>* error) {
  if (std::find(kProtections.begin(), kProtections.end(), protection) == kProtections.end()) {
    setError(error, errSecParam, "Unknown key protection class.");
    return nullptr;
  }
  if ((flags & ~kSecAccessControlPrivateKeyUsage) != 0) {
    setError(error, errSecParam, "Only the private-key-usage constraint can be honoured on this system.");
    return nullptr;
  }
  return std::make_shared<const SecAccessControl>(std::string(protection), flags);
}

SecKeyRef SecKeyCreateRandomKey(const SecDictionary& parameters, std::optional<Error>* error) {
  const SecValue* type = find(parameters, kSecAttrKeyType);
  if (type == nullptr || type->text() == nullptr || *type->text() != kSecAttrKeyTypeECSECPrimeRandom ||
      !isKeySize256(find(parameters, kSecAttrKeySizeInBits))) {
    setError(error, errSecParam, "Only 256-bit elliptic-curve keys (P-256) are supported.");
    return nullptr;
  }
  if (const SecValue* token = find(parameters, kSecAttrTokenID);
      token != nullptr && (token->text() == nullptr || *token->text() != kSecAttrTokenIDSecureEnclave)) {
    setError(error, errSecParam, "Unknown key token.");
    return nullptr;
  }
  SecDictionary none;
  const SecValue* nested = find(parameters, kSecPrivateKeyAttrs);
  if (nested != nullptr && nested->dictionary() == nullptr) {
    setError(error, errSecParam, "The private-key attributes must be a dictionary.");
    return nullptr;
  }
  const SecDictionary& privateAttributes = nested != nullptr ? *nested->dictionary() : none;
  const SecValue* permanent = find(privateAttributes, kSecAttrIsPermanent);
  const SecValue* tag = find(privateAttributes, kSecAttrApplicationTag);
  const SecValue* access = find(privateAttributes, kSecAttrAccessControl);
  if ((permanent != nullptr && permanent->boolean() == nullptr) || (tag != nullptr && tag->data() == nullptr) ||
      (access != nullptr &&
       (access->getIf<SecAccessControlRef>() == nullptr || !*access->getIf<SecAccessControlRef>()))) {
    setError(error, errSecParam, "Malformed private-key attributes.");
    return nullptr;
  }
  const Bytes applicationTag = tag != nullptr ? *tag->data() : Bytes{};
  const SecAccessControlRef accessControl = access != nullptr ? *access->getIf<SecAccessControlRef>() : nullptr;
  if (permanent != nullptr && *permanent->boolean()) {
    if (tag == nullptr) {
      setError(error, errSecParam, "A permanent key needs an application tag.");
      return nullptr;
    }
    return DeviceKeyStore::shared().createKey(applicationTag, accessControl, error);
  }
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  if (key == nullptr) {
    setError(error, errSecAllocate, "The key could not be generated.");
    return nullptr;
  }
  return std::make_shared<const SecKey>(key, SecKey::Kind::privateKey, applicationTag);
}

SecKeyRef SecKeyCopyPublicKey(const SecKeyRef& key) {
  if (!key) return nullptr;
  if (key->kind() == SecKey::Kind::publicKey) return key;
  std::optional<Bytes> encoded;
  {
    std::unique_lock<std::mutex> lock = key->lockForUse();
    encoded = ecies::encodePublicKey(key->evp());
  }
  if (!encoded) return nullptr;
  EVP_PKEY* publicKey = ecies::decodePublicKey(*encoded);
  if (publicKey == nullptr) return nullptr;
  return std::make_shared<const SecKey>(publicKey, SecKey::Kind::publicKey, key->applicationTag());
}

SecKeyRef SecKeyCreateWithPublicData(std::span<const std::uint8_t> data, std::optional<Error>* error) {
  EVP_PKEY* key = ecies::decodePublicKey(data);
  if (key == nullptr) {
    setError(error, errSecParam, "Not an uncompressed P-256 public key.");
    return nullptr;
  }
  return std::make_shared<const SecKey>(key, SecKey::Kind::publicKey, Bytes{});
}

std::optional<Bytes> SecKeyCopyExternalRepresentation(const SecKeyRef& key, std::optional<Error>* error) {
  if (!key || key->kind() != SecKey::Kind::publicKey) {
    setError(error, errSecParam, "Private keys are never exported.");
    return std::nullopt;
  }
  std::optional<Bytes> encoded = ecies::encodePublicKey(key->evp());
  if (!encoded) setError(error, errSecParam, "The key has no external form.");
  return encoded;
}

bool SecKeyIsAlgorithmSupported(const SecKeyRef& key, SecKeyOperationType operation, SecKeyAlgorithm algorithm) {
  if (!key || algorithm != kSecKeyAlgorithmECIESEncryptionCofactorX963SHA256AESGCM) return false;
  switch (operation) {
    case kSecKeyOperationTypeEncrypt:
      return key->kind() == SecKey::Kind::publicKey;
    case kSecKeyOperationTypeDecrypt:
      return key->kind() == SecKey::Kind::privateKey;
    default:
      return false;
  }
}

std::optional<Bytes> SecKeyCreateEncryptedData(const SecKeyRef& key, SecKeyAlgorithm algorithm,
                                               std::span<const std::uint8_t> plaintext, std::optional<Error>* error) {
  if (error != nullptr) error->reset();
  if (!SecKeyIsAlgorithmSupported(key, kSecKeyOperationTypeEncrypt, algorithm)) return std::nullopt;
  return ecies::encrypt(key->evp(), plaintext);
}

std::optional<Bytes> SecKeyCreateDecryptedData(const SecKeyRef& key, SecKeyAlgorithm algorithm,
                                               std::span<const std::uint8_t> ciphertext, std::optional<Error>* error) {
  if (error != nullptr) error->reset();
  if (!SecKeyIsAlgorithmSupported(key, kSecKeyOperationTypeDecrypt, algorithm)) return std::nullopt;
  std::unique_lock<std::mutex> lock = key->lockForUse();
  const ecies::KeyProvider provider =
      key->tpm() ? ecies::KeyProvider{key->tpm()->context(), Tpm::kProperties} : ecies::KeyProvider{};
  return ecies::decrypt(key->evp(), ciphertext, provider);
}

}  // namespace tessaly::security
