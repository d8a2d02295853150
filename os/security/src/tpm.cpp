#include "tessaly/security/tpm.h"

#include <fcntl.h>
#include <openssl/conf.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

namespace tessaly::security {
namespace {

// Where the build found the provider; a bare name lets OpenSSL look in its modules folder.
#ifdef TESSALY_TPM2_PROVIDER
constexpr const char* kProviderModule = TESSALY_TPM2_PROVIDER;
#else
constexpr const char* kProviderModule = "tpm2";
#endif
constexpr const char* kTpmProperties = Tpm::kProperties;
constexpr std::string_view kWrappedKeyHeader = "-----BEGIN TSS2 PRIVATE KEY-----";
constexpr const char* kResourceManager = "/dev/tpmrm0";

struct BioFree {
  void operator()(BIO* b) const noexcept { BIO_free(b); }
};
struct ConfFree {
  void operator()(CONF* c) const noexcept { NCONF_free(c); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const noexcept { EVP_PKEY_CTX_free(c); }
};

// The last OpenSSL error as text, and the queue emptied.
std::string openSslError(std::string_view what) {
  std::string text(what);
  if (unsigned long code = ERR_peek_last_error(); code != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text += ": ";
    text += buffer;
  }
  ERR_clear_error();
  return text;
}

// A configuration that loads the tpm2 provider and the default provider, whose hashes and ciphers the tpm2
// provider relies on.
std::string providerConfiguration() {
  return "openssl_conf = tessaly_tpm\n"
         "[tessaly_tpm]\nproviders = tessaly_providers\n"
         "[tessaly_providers]\ntpm2 = tessaly_tpm2\ndefault = tessaly_default\n"
         "[tessaly_tpm2]\nmodule = " +
         std::string(kProviderModule) +
         "\nactivate = 1\n"
         "[tessaly_default]\nactivate = 1\n";
}

}  // namespace

std::shared_ptr<Tpm> Tpm::open(std::string* why) {
  auto fail = [&](std::string reason) -> std::shared_ptr<Tpm> {
    if (why != nullptr) *why = std::move(reason);
    return nullptr;
  };
  const std::optional<std::string> tcti = machineTcti();
  if (!tcti) return fail("this machine has no TPM in use");
  OSSL_LIB_CTX* context = OSSL_LIB_CTX_new();
  if (context == nullptr) return fail(openSslError("no OpenSSL library context"));
  std::shared_ptr<Tpm> tpm(new Tpm(context, *tcti));

  const std::string text = providerConfiguration();
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  std::unique_ptr<CONF, ConfFree> conf(NCONF_new_ex(context, nullptr));
  long line = 0;
  if (!bio || !conf || NCONF_load_bio(conf.get(), bio.get(), &line) <= 0) {
    return fail(openSslError("the provider configuration cannot be read"));
  }
  OPENSSL_load_builtin_modules();
  if (CONF_modules_load(conf.get(), nullptr, 0) <= 0 || !OSSL_PROVIDER_available(context, "tpm2")) {
    return fail(openSslError("the tpm2 provider cannot reach a TPM through \"" + *tcti + "\""));
  }
  return tpm;
}

std::optional<std::string> Tpm::machineTcti() {
  if (const char* chosen = std::getenv("TPM2OPENSSL_TCTI")) {
    if (std::string_view(chosen) == "none" || *chosen == '\0') return std::nullopt;
    return std::string(chosen);
  }
  const int fd = ::open(kResourceManager, O_RDWR | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  ::close(fd);
  return "device:" + std::string(kResourceManager);
}

Tpm::~Tpm() { OSSL_LIB_CTX_free(context_); }

EVP_PKEY* Tpm::generateKey() const {
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_from_name(context_, "EC", kTpmProperties));
  char group[] = "P-256";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
                               OSSL_PARAM_construct_end()};
  EVP_PKEY* key = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_params(ctx.get(), params) != 1 ||
      EVP_PKEY_generate(ctx.get(), &key) != 1) {
    ERR_clear_error();
    return nullptr;
  }
  return key;
}

std::optional<std::string> Tpm::exportWrapped(EVP_PKEY* key) const {
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey_ex(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr, context_,
                                          kTpmProperties) != 1) {
    ERR_clear_error();
    return std::nullopt;
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  std::string pem(data, static_cast<std::size_t>(length));
  if (!isWrappedTpmKey(pem)) return std::nullopt;  // the provider would have written the key in clear
  return pem;
}

EVP_PKEY* Tpm::loadWrapped(std::string_view pem) const {
  if (!isWrappedTpmKey(pem)) return nullptr;
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  EVP_PKEY* key =
      bio ? PEM_read_bio_PrivateKey_ex(bio.get(), nullptr, nullptr, nullptr, context_, kTpmProperties) : nullptr;
  ERR_clear_error();
  if (key != nullptr && !EVP_PKEY_is_a(key, "EC")) {
    EVP_PKEY_free(key);
    return nullptr;
  }
  return key;
}

bool isWrappedTpmKey(std::string_view pem) { return pem.starts_with(kWrappedKeyHeader); }

}  // namespace tessaly::security
