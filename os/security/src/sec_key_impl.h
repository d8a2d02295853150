// What a key reference holds: an OpenSSL key that never leaves this library.
#pragma once

#include <openssl/evp.h>

#include "tessaly/security/sec_key.h"

namespace tessaly::security {

class SecKey {
 public:
  enum class Kind { publicKey, privateKey };

  // Takes ownership of `key`.
  SecKey(EVP_PKEY* key, Kind kind, Bytes applicationTag)
      : key_(key), kind_(kind), applicationTag_(std::move(applicationTag)) {}
  ~SecKey() { EVP_PKEY_free(key_); }
  SecKey(const SecKey&) = delete;
  SecKey& operator=(const SecKey&) = delete;

  EVP_PKEY* evp() const noexcept { return key_; }
  Kind kind() const noexcept { return kind_; }
  const Bytes& applicationTag() const noexcept { return applicationTag_; }

 private:
  EVP_PKEY* key_;
  Kind kind_;
  Bytes applicationTag_;
};

Error statusError(OSStatus status, std::string description);

}  // namespace tessaly::security
