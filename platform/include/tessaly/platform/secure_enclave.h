// Encryption of small secrets with a device-bound P-256 key named by an application tag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "tessaly/model/core_types.h"
#include "tessaly/platform/platform_error.h"
#include "tessaly/security/sec_key.h"

namespace tessaly::platform {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::string_view enclaveErrorDomain = "com.marrowind.security.secureenclave";

// Codes of the errors raised here: the position of the matching unit case of CoreEnclaveError.
enum class EnclaveErrorCode : std::int32_t {
  failedToCreateDataFromApplicationTag = 0,
  failedToCreateAccessControlWithRequestedFlags = 1,
  failedToCreatePrivateKey = 2,
  failedToFindMatchingKey = 3,
  operationAndAlgorithmNotSupportedForKey = 4,
  decryptFailed = 5,
  encryptFailed = 6,
  failedToCopyPublicKeyFromPrivateKey = 7,
  unsupportedOperation = 8,
  failedToFindOrCreateSecureEnclaveKey = 9,
  resultDidNotFitInBuffer = 10,
};

PlatformError makeEnclaveError(EnclaveErrorCode code);

// The tag's key in the key store; nothing when there is none. Fails with code 0 when the tag is not UTF-8,
// and with the key store's status (NSOSStatusErrorDomain) when a key is there but cannot be used.
PlatformResult<security::SecKeyRef> findEnclaveKey(std::string_view tag);

// Makes and stores a new key for the tag, usable only in place and only on this device.
PlatformResult<security::SecKeyRef> createEnclaveKey(std::string_view tag);

// Operation 2 (encrypt, with the key's public half) or 3 (decrypt, with the private key).
PlatformResult<Bytes> performEnclaveOperation(std::int32_t operation, std::span<const std::uint8_t> input,
                                              const security::SecKeyRef& key);

// An error as a CoreEnclaveError: codes 0 to 10 of enclaveErrorDomain as their unit case, anything else as
// failedWithKeychainErrorCode with the code.
model::CoreEnclaveError enclaveErrorFrom(const PlatformError& error);

// Encrypts (operation 2) or decrypts (operation 3) `length` bytes at `bytes` with the key of `tag`, making the
// key first when the tag has none. A null tag gives failedToCreateDataFromApplicationTag, null bytes the
// operation's own failure case.
[[nodiscard]] model::CoreEnclaveResult enclaveOperation(const char* tag, const std::uint8_t* bytes, std::size_t length,
                                                        std::int32_t operation);

// Deletes the key of `tag`; a tag without a key succeeds too. Success carries no bytes.
[[nodiscard]] model::CoreEnclaveResult enclaveDeleteKey(const char* tag);

}  // namespace tessaly::platform
