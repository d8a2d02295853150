#include "tessaly/platform/secure_enclave.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tessaly/model/json.h"
#include "tessaly/security/device_key_store.h"
#include "test_environment.h"

namespace tessaly::platform {
namespace {

namespace fs = std::filesystem;
using model::CoreEnclaveError;
using model::CoreEnclaveResult;

constexpr std::int32_t kEncrypt = 2;
constexpr std::int32_t kDecrypt = 3;

fs::path keyFolder() { return testing::temporaryUserFolder() / "data" / "tessaly" / "enclave-keys"; }

std::size_t keyFiles() {
  if (!fs::exists(keyFolder())) return 0;
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(keyFolder()), fs::directory_iterator()));
}

Bytes success(const CoreEnclaveResult& result) {
  const Bytes* bytes = result.getIf<CoreEnclaveResult::Case::success>();
  EXPECT_NE(bytes, nullptr) << "expected success";
  return bytes != nullptr ? *bytes : Bytes{};
}

CoreEnclaveError::Case errorCase(const CoreEnclaveResult& result) {
  const CoreEnclaveError* error = result.getIf<CoreEnclaveResult::Case::error>();
  EXPECT_NE(error, nullptr) << "expected an error";
  return error != nullptr ? error->which() : CoreEnclaveError::Case::failedWithKeychainErrorCode;
}

CoreEnclaveResult encrypt(const char* tag, const Bytes& data) {
  return enclaveOperation(tag, data.data(), data.size(), kEncrypt);
}
CoreEnclaveResult decrypt(const char* tag, const Bytes& data) {
  return enclaveOperation(tag, data.data(), data.size(), kDecrypt);
}

TEST(SecureEnclave, TheFirstUseMakesTheKeyAndItsCiphertextsDecryptUnderTheSameTagOnly) {
  const Bytes secret{'v', 'a', 'u', 'l', 't'};
  const std::size_t before = keyFiles();
  const Bytes sealed = success(encrypt("com.example.first", secret));
  EXPECT_EQ(keyFiles(), before + 1);
  EXPECT_EQ(sealed.size(), 65 + secret.size() + 16);
  EXPECT_EQ(sealed.front(), 0x04);
  EXPECT_EQ(success(decrypt("com.example.first", sealed)), secret);
  EXPECT_NE(success(encrypt("com.example.first", secret)), sealed) << "each encryption uses a fresh ephemeral key";
  EXPECT_EQ(keyFiles(), before + 1) << "the key is made once";

  // A fresh tag gets a fresh key, which cannot open the other tag's data.
  EXPECT_EQ(errorCase(decrypt("com.example.stranger", sealed)), CoreEnclaveError::Case::decryptFailed);
  EXPECT_EQ(keyFiles(), before + 2);

  // After the key is deleted, old ciphertexts are lost for good.
  EXPECT_EQ(success(enclaveDeleteKey("com.example.first")), Bytes{});
  EXPECT_EQ(errorCase(decrypt("com.example.first", sealed)), CoreEnclaveError::Case::decryptFailed);
}

TEST(SecureEnclave, BadInputGivesItsOwnErrorWithoutTouchingTheKeyStore) {
  const std::size_t before = keyFiles();
  const Bytes data{1, 2, 3};
  EXPECT_EQ(errorCase(decrypt(nullptr, data)), CoreEnclaveError::Case::failedToCreateDataFromApplicationTag);
  EXPECT_EQ(errorCase(enclaveDeleteKey(nullptr)), CoreEnclaveError::Case::failedToCreateDataFromApplicationTag);
  EXPECT_EQ(errorCase(enclaveOperation("com.example.null", nullptr, 3, kEncrypt)),
            CoreEnclaveError::Case::encryptFailed);
  EXPECT_EQ(errorCase(enclaveOperation("com.example.null", nullptr, 0, kDecrypt)),
            CoreEnclaveError::Case::decryptFailed);
  const char* notUtf8 = "tag\xff\xfe";
  EXPECT_EQ(errorCase(encrypt(notUtf8, data)), CoreEnclaveError::Case::failedToCreateDataFromApplicationTag);
  EXPECT_EQ(errorCase(enclaveDeleteKey(notUtf8)), CoreEnclaveError::Case::failedToCreateDataFromApplicationTag);
  EXPECT_EQ(keyFiles(), before);
}

TEST(SecureEnclave, EmptyAndHugePayloadsRoundTrip) {
  const std::uint8_t anything = 0;
  const CoreEnclaveResult sealedEmpty = enclaveOperation("com.example.sizes", &anything, 0, kEncrypt);
  EXPECT_EQ(success(sealedEmpty).size(), 81u);
  EXPECT_EQ(success(decrypt("com.example.sizes", success(sealedEmpty))), Bytes{});

  const Bytes huge(16 * 1024 * 1024, 0x42);
  const Bytes sealedHuge = success(encrypt("com.example.sizes", huge));
  EXPECT_EQ(success(decrypt("com.example.sizes", sealedHuge)), huge);
}

TEST(SecureEnclave, AKeyThatCannotBeReadIsReportedAndKeptForAnotherTry) {
  const Bytes secret{1, 2, 3};
  const Bytes sealed = success(encrypt("com.example.kept", secret));
  const std::string_view tag = "com.example.kept";
  const fs::path keyFile = security::DeviceKeyStore::shared().fileFor(Bytes(tag.begin(), tag.end()));
  ASSERT_TRUE(fs::exists(keyFile));
  const fs::path aside = keyFile.string() + ".whole";
  fs::copy_file(keyFile, aside);
  fs::resize_file(keyFile, fs::file_size(keyFile) / 2);
  const std::string truncated = std::to_string(fs::file_size(keyFile));

  for (std::int32_t operation : {kEncrypt, kDecrypt}) {
    const CoreEnclaveResult result = enclaveOperation("com.example.kept", sealed.data(), sealed.size(), operation);
    EXPECT_EQ(model::encode(result).value(),
              R"({"type":"Error","content":{"type":"FailedWithKeychainErrorCode","content":-26275}})");
  }
  EXPECT_EQ(std::to_string(fs::file_size(keyFile)), truncated) << "the damaged key was replaced";
  // Once the file is mended, what was sealed under it opens again.
  fs::rename(aside, keyFile);
  EXPECT_EQ(success(decrypt("com.example.kept", sealed)), secret);
}

TEST(SecureEnclave, OperationsRefuseKeysAndOperationsThatDoNotFit) {
  PlatformResult<security::SecKeyRef> key = createEnclaveKey("com.example.ops");
  ASSERT_TRUE(key && *key);
  PlatformResult<security::SecKeyRef> found = findEnclaveKey("com.example.ops");
  ASSERT_TRUE(found && *found);
  EXPECT_FALSE(*findEnclaveKey("com.example.absent")) << "no key is absence, not an error";
  EXPECT_EQ(findEnclaveKey("\xff").error(), makeEnclaveError(EnclaveErrorCode::failedToCreateDataFromApplicationTag));

  const Bytes input{1};
  EXPECT_EQ(performEnclaveOperation(4, input, *key).error(),
            makeEnclaveError(EnclaveErrorCode::operationAndAlgorithmNotSupportedForKey));
  EXPECT_EQ(performEnclaveOperation(kDecrypt, input, security::SecKeyCopyPublicKey(*key)).error(),
            makeEnclaveError(EnclaveErrorCode::operationAndAlgorithmNotSupportedForKey));
  EXPECT_EQ(performEnclaveOperation(kEncrypt, input, nullptr).error(),
            makeEnclaveError(EnclaveErrorCode::failedToCopyPublicKeyFromPrivateKey));
  PlatformResult<Bytes> sealed = performEnclaveOperation(kEncrypt, input, *key);
  ASSERT_TRUE(sealed);
  EXPECT_EQ(*performEnclaveOperation(kDecrypt, *sealed, *found), input);
}

TEST(SecureEnclave, ErrorsMapToTheirCasesByDomainAndCode) {
  using C = CoreEnclaveError::Case;
  const C unitCases[] = {C::failedToCreateDataFromApplicationTag,
                         C::failedToCreateAccessControlWithRequestedFlags,
                         C::failedToCreatePrivateKey,
                         C::failedToFindMatchingKey,
                         C::operationAndAlgorithmNotSupportedForKey,
                         C::decryptFailed,
                         C::encryptFailed,
                         C::failedToCopyPublicKeyFromPrivateKey,
                         C::unsupportedOperation,
                         C::failedToFindOrCreateSecureEnclaveKey,
                         C::resultDidNotFitInBuffer};
  for (int code = 0; code <= 10; ++code) {
    EXPECT_EQ(enclaveErrorFrom(makeEnclaveError(static_cast<EnclaveErrorCode>(code))).which(), unitCases[code])
        << "code " << code;
  }
  const CoreEnclaveError beyond = enclaveErrorFrom(PlatformError{std::string(enclaveErrorDomain), 11, std::nullopt});
  EXPECT_EQ(beyond.get<CoreEnclaveError::Case::failedWithKeychainErrorCode>(), 11);
  const CoreEnclaveError platform = enclaveErrorFrom(PlatformError{"NSOSStatusErrorDomain", 3, std::nullopt});
  EXPECT_EQ(platform.get<CoreEnclaveError::Case::failedWithKeychainErrorCode>(), 3) << "the domain decides";
}

}  // namespace
}  // namespace tessaly::platform
