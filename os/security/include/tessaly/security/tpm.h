// A TPM 2.0 reached through OpenSSL's tpm2 provider: P-256 keys made inside it and used in place.
#pragma once

#include <openssl/types.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace tessaly::security {

// One connection to a TPM, in an OpenSSL library context of its own (so the host's default context never
// sees the provider). Keys are wrapped by the TPM's storage key: their private part exists in clear only
// inside the TPM, and a wrapped key works only with the TPM that made it. Every use of the TPM, including
// operations on its keys, is made while holding lock(): one connection serves one command at a time.
class Tpm {
 public:
  // The TCTI of this machine's TPM: TPM2OPENSSL_TCTI when set ("device:/dev/tpmrm0", "swtpm:path=/x/tpm.sock",
  // "swtpm:host=127.0.0.1,port=2321"; the value "none" meaning that no TPM may be used), else
  // "device:/dev/tpmrm0" when that device can be opened for reading and writing, else nothing.
  static std::optional<std::string> machineTcti();

  // Opens the TPM of machineTcti(). Nothing, with the reason in `why`, when there is none, the provider
  // cannot be loaded or the TPM does not answer. (The provider takes its TCTI from TPM2OPENSSL_TCTI alone;
  // without it, it tries the kernel's resource manager first, which machineTcti() has found there.)
  [[nodiscard]] static std::shared_ptr<Tpm> open(std::string* why);

  ~Tpm();
  Tpm(const Tpm&) = delete;
  Tpm& operator=(const Tpm&) = delete;

  const std::string& tcti() const noexcept { return tcti_; }
  // Where the TPM's keys are used (ecies::KeyProvider): its library context, and the provider's properties.
  OSSL_LIB_CTX* context() const noexcept { return context_; }
  static constexpr const char* kProperties = "provider=tpm2";
  std::unique_lock<std::mutex> lock() const { return std::unique_lock<std::mutex>(mutex_); }

  // A new P-256 key made inside the TPM; null when the TPM cannot make one. The caller frees it (before
  // this object goes away) and holds lock() while making it and using it.
  [[nodiscard]] EVP_PKEY* generateKey() const;
  // The wrapped form of a key of this TPM as PEM text ("-----BEGIN TSS2 PRIVATE KEY-----").
  [[nodiscard]] std::optional<std::string> exportWrapped(EVP_PKEY* key) const;
  // Loads a wrapped key; null when the TPM refuses it (made by another TPM, altered or not a P-256 key).
  [[nodiscard]] EVP_PKEY* loadWrapped(std::string_view pem) const;

 private:
  Tpm(OSSL_LIB_CTX* context, std::string tcti) : context_(context), tcti_(std::move(tcti)) {}

  OSSL_LIB_CTX* context_;
  std::string tcti_;
  mutable std::mutex mutex_;
};

// True when `pem` is the wrapped form of a TPM key.
bool isWrappedTpmKey(std::string_view pem);

}  // namespace tessaly::security
