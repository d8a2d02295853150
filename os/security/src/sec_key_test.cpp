#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tessaly/security/sec_item.h"
#include "tessaly/security/sec_key.h"
#include "tessaly/testing/key_store.h"

namespace tessaly::security {
namespace {

namespace fs = std::filesystem;

// The user's key store of this test program lives under a temporary XDG_DATA_HOME, set before any test runs.
class TemporaryDataHome : public ::testing::Environment {
 public:
  TemporaryDataHome() {
    ::setenv("XDG_DATA_HOME", root.path().c_str(), 1);
    // The user's store of this program has neither a TPM nor a Secret Service: its keys are plain.
    ::setenv("TPM2OPENSSL_TCTI", "none", 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tessaly-no-bus", 1);
    ::unsetenv("DISPLAY");
  }
  tessaly::testing::TemporaryDirectory root;
};
TemporaryDataHome* const dataHome =
    static_cast<TemporaryDataHome*>(::testing::AddGlobalTestEnvironment(new TemporaryDataHome));

using testing::keyQuery;
const auto tag = testing::tagOf;

SecDictionary keyParameters(const Bytes& applicationTag, bool permanent = true) {
  SecDictionary privateAttributes{{std::string(kSecAttrIsPermanent), SecValue(permanent)},
                                  {std::string(kSecAttrApplicationTag), SecValue(applicationTag)}};
  return {{std::string(kSecAttrKeyType), SecValue(kSecAttrKeyTypeECSECPrimeRandom)},
          {std::string(kSecAttrKeySizeInBits), SecValue(256)},
          {std::string(kSecAttrTokenID), SecValue(kSecAttrTokenIDSecureEnclave)},
          {std::string(kSecPrivateKeyAttrs), SecValue(privateAttributes)}};
}

TEST(SecKeyFunctions, PermanentKeysGoToTheUsersStoreAndTheItemFunctionsReachThem) {
  std::optional<Error> error;
  SecKeyRef key = SecKeyCreateRandomKey(keyParameters(tag("user-key")), &error);
  ASSERT_TRUE(key) << (error ? describe(*error) : "");
  EXPECT_TRUE(fs::is_directory(dataHome->root.path() / "tessaly" / "enclave-keys"));
  SecItemResult result;
  EXPECT_EQ(SecItemCopyMatching(keyQuery(tag("user-key")), &result), errSecSuccess);
  EXPECT_EQ(SecItemDelete(keyQuery(tag("user-key"))), errSecSuccess);
  EXPECT_EQ(SecItemDelete(keyQuery(tag("user-key"))), errSecItemNotFound);
  EXPECT_EQ(SecItemAdd(keyQuery(tag("user-key")), nullptr), errSecUnimplemented);

  // A key that is not permanent stays out of the store.
  ASSERT_TRUE(SecKeyCreateRandomKey(keyParameters(tag("passing"), false), &error));
  EXPECT_EQ(SecItemCopyMatching(keyQuery(tag("passing")), &result), errSecItemNotFound);
}

TEST(SecKeyFunctions, UnsupportedRequestsFailWithParameterErrors) {
  std::optional<Error> error;
  // Another key type, another size, a permanent key without a tag.
  const SecDictionary untagged{{std::string(kSecAttrIsPermanent), SecValue(true)}};
  for (const auto& [key, value] :
       std::vector<std::pair<std::string_view, SecValue>>{{kSecAttrKeyType, SecValue("42")},
                                                          {kSecAttrKeySizeInBits, SecValue(384)},
                                                          {kSecPrivateKeyAttrs, SecValue(untagged)}}) {
    SecDictionary parameters = keyParameters(tag("x"));
    parameters.insert_or_assign(std::string(key), value);
    EXPECT_FALSE(SecKeyCreateRandomKey(parameters, &error)) << key;
    EXPECT_EQ(error->code, errSecParam) << key;
  }

  EXPECT_TRUE(SecAccessControlCreateWithFlags(kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly,
                                              kSecAccessControlPrivateKeyUsage, &error));
  EXPECT_FALSE(SecAccessControlCreateWithFlags(kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly,
                                               kSecAccessControlPrivateKeyUsage | 1, &error));
  EXPECT_FALSE(SecAccessControlCreateWithFlags("never", kSecAccessControlPrivateKeyUsage, &error));
  EXPECT_EQ(error->domain, foundation::kNSOSStatusErrorDomain);
}

TEST(SecKeyFunctions, EachHalfDoesOnlyItsOwnOperation) {
  std::optional<Error> error;
  SecKeyRef privateKey = SecKeyCreateRandomKey(keyParameters(tag("halves"), false), &error);
  SecKeyRef publicKey = SecKeyCopyPublicKey(privateKey);
  ASSERT_TRUE(privateKey && publicKey);
  const auto ecies = kSecKeyAlgorithmECIESEncryptionCofactorX963SHA256AESGCM;
  EXPECT_TRUE(SecKeyIsAlgorithmSupported(publicKey, kSecKeyOperationTypeEncrypt, ecies));
  EXPECT_TRUE(SecKeyIsAlgorithmSupported(privateKey, kSecKeyOperationTypeDecrypt, ecies));
  EXPECT_FALSE(SecKeyIsAlgorithmSupported(privateKey, kSecKeyOperationTypeEncrypt, ecies));
  EXPECT_FALSE(SecKeyIsAlgorithmSupported(publicKey, kSecKeyOperationTypeDecrypt, ecies));
  EXPECT_FALSE(SecKeyIsAlgorithmSupported(privateKey, kSecKeyOperationTypeSign, ecies));
  EXPECT_FALSE(SecKeyIsAlgorithmSupported(publicKey, kSecKeyOperationTypeEncrypt,
                                          "algid:encrypt:ECIES:ECDHC:KDFX963:SHA256:AESGCM-KDFIV"));
  EXPECT_FALSE(SecKeyCreateEncryptedData(privateKey, ecies, tag("x"), &error));
  EXPECT_FALSE(error) << "a refused operation carries no error";
  std::optional<Bytes> sealed = SecKeyCreateEncryptedData(publicKey, ecies, {}, &error);
  ASSERT_TRUE(sealed);
  EXPECT_FALSE(SecKeyCreateDecryptedData(publicKey, ecies, *sealed, &error));
  EXPECT_EQ(SecKeyCreateDecryptedData(privateKey, ecies, *sealed, &error), Bytes{});
}

}  // namespace
}  // namespace tessaly::security
