// What a key reference holds: an OpenSSL key that never leaves this library (nor, for a TPM key, the TPM).
#pragma once

#include <openssl/evp.h>

#include <memory>

#include "tessaly/security/sec_key.h"
#include "tessaly/security/tpm.h"

namespace tessaly::security {

class SecKey {
 public:
  enum class Kind { publicKey, privateKey };

  // Takes ownership of `key`. A key held by a TPM keeps its TPM open for as long as it lives.
  SecKey(EVP_PKEY* key, Kind kind, Bytes applicationTag, std::shared_ptr<const Tpm> tpm = nullptr)
      : key_(key), kind_(kind), applicationTag_(std::move(applicationTag)), tpm_(std::move(tpm)) {}
  ~SecKey() {
    std::unique_lock<std::mutex> lock;
    if (tpm_) lock = tpm_->lock();
    EVP_PKEY_free(key_);
  }
  SecKey(const SecKey&) = delete;
  SecKey& operator=(const SecKey&) = delete;

  EVP_PKEY* evp() const noexcept { return key_; }
  Kind kind() const noexcept { return kind_; }
  const Bytes& applicationTag() const noexcept { return applicationTag_; }
  // The TPM that holds the private key; null for keys in memory.
  const std::shared_ptr<const Tpm>& tpm() const noexcept { return tpm_; }
  // Held while the key is used: a TPM serves one command at a time.
  std::unique_lock<std::mutex> lockForUse() const { return tpm_ ? tpm_->lock() : std::unique_lock<std::mutex>(); }

 private:
  EVP_PKEY* key_;
  Kind kind_;
  Bytes applicationTag_;
  std::shared_ptr<const Tpm> tpm_;
};

Error statusError(OSStatus status, std::string description);

}  // namespace tessaly::security
