#include "tessaly/platform/secure_enclave.h"

#include <cstring>

#include "tessaly/base/utf8.h"

namespace tessaly::platform {

namespace sec = tessaly::security;
using model::CoreEnclaveError;
using model::CoreEnclaveResult;
using security::SecDictionary;
using security::SecValue;

namespace {

constexpr std::int32_t kEncrypt = sec::kSecKeyOperationTypeEncrypt;
constexpr std::int32_t kDecrypt = sec::kSecKeyOperationTypeDecrypt;
// kSecAccessControlPrivateKeyUsage: the private key can be used for operations but never leaves the store.
constexpr std::uint64_t kPrivateKeyUsage = 1073741824;
static_assert(kPrivateKeyUsage == sec::kSecAccessControlPrivateKeyUsage);

PlatformResult<Bytes> tagBytes(std::string_view tag) {
  if (!base::isValidUtf8(tag)) return makeEnclaveError(EnclaveErrorCode::failedToCreateDataFromApplicationTag);
  return Bytes(tag.begin(), tag.end());
}

PlatformError platformErrorOr(std::optional<sec::Error> error, EnclaveErrorCode fallback) {
  return error ? std::move(*error) : makeEnclaveError(fallback);
}

// Deletes with `query` again and again while the store reports errSecDuplicateItem.
sec::OSStatus deleteRepeatedly(const SecDictionary& query) {
  sec::OSStatus status = sec::SecItemDelete(query);
  while (status == sec::errSecDuplicateItem) status = sec::SecItemDelete(query);
  return status;
}

}  // namespace

PlatformError makeEnclaveError(EnclaveErrorCode code) {
  return PlatformError{std::string(enclaveErrorDomain), static_cast<std::int64_t>(code), std::nullopt};
}

PlatformResult<sec::SecKeyRef> findEnclaveKey(std::string_view tag) {
  PlatformResult<Bytes> bytes = tagBytes(tag);
  if (!bytes) return bytes.error();
  const SecDictionary query{{std::string(sec::kSecMatchLimit), SecValue(sec::kSecMatchLimitOne)},
                            {std::string(sec::kSecClass), SecValue(sec::kSecClassKey)},
                            {std::string(sec::kSecAttrKeyClass), SecValue(sec::kSecAttrKeyClassPrivate)},
                            {std::string(sec::kSecAttrApplicationTag), SecValue(*bytes)},
                            {std::string(sec::kSecReturnRef), SecValue(true)}};
  sec::SecItemResult result;
  const sec::OSStatus status = sec::SecItemCopyMatching(query, &result);
  if (status == sec::errSecItemNotFound) return sec::SecKeyRef();
  // A key that is there but cannot be used is an error: treating it as absent would make a new key over it,
  // and everything sealed under the old one would be lost.
  if (status != sec::errSecSuccess) {
    return PlatformError{std::string(foundation::kNSOSStatusErrorDomain), status, std::nullopt};
  }
  const auto* key = std::get_if<sec::SecKeyRef>(&result);
  return key != nullptr ? *key : sec::SecKeyRef();
}

PlatformResult<sec::SecKeyRef> createEnclaveKey(std::string_view tag) {
  std::optional<sec::Error> error;
  sec::SecAccessControlRef access = sec::SecAccessControlCreateWithFlags(
      sec::kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly, kPrivateKeyUsage, &error);
  if (!access)
    return platformErrorOr(std::move(error), EnclaveErrorCode::failedToCreateAccessControlWithRequestedFlags);
  PlatformResult<Bytes> bytes = tagBytes(tag);
  if (!bytes) return bytes.error();
  const SecDictionary privateKeyAttributes{{std::string(sec::kSecAttrIsPermanent), SecValue(true)},
                                           {std::string(sec::kSecAttrApplicationTag), SecValue(*bytes)},
                                           {std::string(sec::kSecAttrAccessControl), SecValue(access)}};
  const SecDictionary parameters{{std::string(sec::kSecAttrKeyType), SecValue(sec::kSecAttrKeyTypeECSECPrimeRandom)},
                                 {std::string(sec::kSecAttrKeySizeInBits), SecValue(256)},
                                 {std::string(sec::kSecAttrTokenID), SecValue(sec::kSecAttrTokenIDSecureEnclave)},
                                 {std::string(sec::kSecPrivateKeyAttrs), SecValue(privateKeyAttributes)}};
  sec::SecKeyRef key = sec::SecKeyCreateRandomKey(parameters, &error);
  if (!key) return platformErrorOr(std::move(error), EnclaveErrorCode::failedToCreatePrivateKey);
  return key;
}

PlatformResult<Bytes> performEnclaveOperation(std::int32_t operation, std::span<const std::uint8_t> input,
                                              const sec::SecKeyRef& key) {
  sec::SecKeyRef workingKey = key;
  if (operation == kEncrypt) {
    workingKey = sec::SecKeyCopyPublicKey(key);
    if (!workingKey) return makeEnclaveError(EnclaveErrorCode::failedToCopyPublicKeyFromPrivateKey);
  }
  const auto algorithm = sec::kSecKeyAlgorithmECIESEncryptionCofactorX963SHA256AESGCM;
  if (!sec::SecKeyIsAlgorithmSupported(workingKey, static_cast<sec::SecKeyOperationType>(operation), algorithm)) {
    return makeEnclaveError(EnclaveErrorCode::operationAndAlgorithmNotSupportedForKey);
  }
  std::optional<sec::Error> error;
  if (operation == kEncrypt) {
    std::optional<Bytes> output = sec::SecKeyCreateEncryptedData(workingKey, algorithm, input, &error);
    if (!output) return platformErrorOr(std::move(error), EnclaveErrorCode::encryptFailed);
    return std::move(*output);
  }
  if (operation == kDecrypt) {
    std::optional<Bytes> output = sec::SecKeyCreateDecryptedData(workingKey, algorithm, input, &error);
    if (!output) return platformErrorOr(std::move(error), EnclaveErrorCode::decryptFailed);
    return std::move(*output);
  }
  return makeEnclaveError(EnclaveErrorCode::unsupportedOperation);
}

CoreEnclaveError enclaveErrorFrom(const PlatformError& error) {
  if (error.domain == enclaveErrorDomain) {
    switch (error.code) {
      case 0:
        return CoreEnclaveError::failedToCreateDataFromApplicationTag();
      case 1:
        return CoreEnclaveError::failedToCreateAccessControlWithRequestedFlags();
      case 2:
        return CoreEnclaveError::failedToCreatePrivateKey();
      case 3:
        return CoreEnclaveError::failedToFindMatchingKey();
      case 4:
        return CoreEnclaveError::operationAndAlgorithmNotSupportedForKey();
      case 5:
        return CoreEnclaveError::decryptFailed();
      case 6:
        return CoreEnclaveError::encryptFailed();
      case 7:
        return CoreEnclaveError::failedToCopyPublicKeyFromPrivateKey();
      case 8:
        return CoreEnclaveError::unsupportedOperation();
      case 9:
        return CoreEnclaveError::failedToFindOrCreateSecureEnclaveKey();
      case 10:
        return CoreEnclaveError::resultDidNotFitInBuffer();
      default:
        break;
    }
  }
  return CoreEnclaveError::failedWithKeychainErrorCode(static_cast<std::int32_t>(error.code));
}

CoreEnclaveResult enclaveOperation(const char* tag, const std::uint8_t* bytes, std::size_t length,
                                   std::int32_t operation) {
  if (tag == nullptr) return CoreEnclaveResult::error(CoreEnclaveError::failedToCreateDataFromApplicationTag());
  if (bytes == nullptr) {
    return CoreEnclaveResult::error(operation == kEncrypt ? CoreEnclaveError::encryptFailed()
                                                          : CoreEnclaveError::decryptFailed());
  }
  try {
    const Bytes input(bytes, bytes + length);
    const std::string_view tagText(tag);
    PlatformResult<sec::SecKeyRef> key = findEnclaveKey(tagText);
    if (key && !*key) key = createEnclaveKey(tagText);
    if (!key) return CoreEnclaveResult::error(enclaveErrorFrom(key.error()));
    PlatformResult<Bytes> output = performEnclaveOperation(operation, input, *key);
    if (!output) return CoreEnclaveResult::error(enclaveErrorFrom(output.error()));
    return CoreEnclaveResult::success(std::move(*output));
  } catch (const std::bad_alloc&) {
    return CoreEnclaveResult::error(operation == kEncrypt ? CoreEnclaveError::encryptFailed()
                                                          : CoreEnclaveError::decryptFailed());
  }
}

CoreEnclaveResult enclaveDeleteKey(const char* tag) {
  if (tag == nullptr) return CoreEnclaveResult::error(CoreEnclaveError::failedToCreateDataFromApplicationTag());
  PlatformResult<Bytes> bytes = tagBytes(tag);
  if (!bytes) return CoreEnclaveResult::error(enclaveErrorFrom(bytes.error()));
  const SecDictionary privateQuery{{std::string(sec::kSecAttrTokenID), SecValue(sec::kSecAttrTokenIDSecureEnclave)},
                                   {std::string(sec::kSecClass), SecValue(sec::kSecClassKey)},
                                   {std::string(sec::kSecAttrKeyClass), SecValue(sec::kSecAttrKeyClassPrivate)},
                                   {std::string(sec::kSecAttrApplicationTag), SecValue(*bytes)}};
  sec::OSStatus status = deleteRepeatedly(privateQuery);
  if (status == sec::errSecSuccess || status == sec::errSecItemNotFound) return CoreEnclaveResult::success({});
  const SecDictionary publicQuery{{std::string(sec::kSecClass), SecValue(sec::kSecClassKey)},
                                  {std::string(sec::kSecAttrKeyClass), SecValue(sec::kSecAttrKeyClassPublic)},
                                  {std::string(sec::kSecAttrApplicationTag), SecValue(*bytes)}};
  status = deleteRepeatedly(publicQuery);
  if (status == sec::errSecSuccess) return CoreEnclaveResult::success({});
  return CoreEnclaveResult::error(CoreEnclaveError::failedWithKeychainErrorCode(status));
}

}  // namespace tessaly::platform
