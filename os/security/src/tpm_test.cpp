#include "tessaly/security/tpm.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tessaly/security/ecies.h"
#include "tessaly/testing/key_store.h"

namespace tessaly::security {
namespace {

namespace fs = std::filesystem;
using testing::expectSameKey;
using testing::keyQuery;
using testing::readFile;
using testing::ScratchFolder;
using testing::SoftwareTpm;
using testing::tagOf;

// Opens the TPM of a software TPM: the provider takes its TCTI from TPM2OPENSSL_TCTI.
std::shared_ptr<const Tpm> openTpm(const SoftwareTpm& swtpm) {
  ::setenv("TPM2OPENSSL_TCTI", swtpm.tcti().c_str(), 1);
  std::string why;
  std::shared_ptr<const Tpm> tpm = Tpm::open(&why);
  EXPECT_TRUE(tpm) << why;
  return tpm;
}

// One software TPM for the whole program; tests that need a TPM of their own start another.
class SharedTpm : public ::testing::Environment {
 public:
  void SetUp() override {
    swtpm = std::make_unique<SoftwareTpm>();
    ASSERT_TRUE(swtpm->ok()) << swtpm->why();
    tpm = openTpm(*swtpm);
  }
  void TearDown() override {
    tpm.reset();
    swtpm.reset();
  }
  std::unique_ptr<SoftwareTpm> swtpm;
  std::shared_ptr<const Tpm> tpm;
};
SharedTpm* const shared = static_cast<SharedTpm*>(::testing::AddGlobalTestEnvironment(new SharedTpm));

TEST(Tpm, KeysAreMadeInsideTheTpmAndOpenWhatSoftwareSealsForThem) {
  ScratchFolder scratch;
  ASSERT_TRUE(shared->tpm);
  DeviceKeyStore store(scratch.path(), {shared->tpm, nullptr});
  EXPECT_EQ(store.formOfNewKeys(), DeviceKeyForm::tpm);
  std::optional<Error> error;
  SecKeyRef made = store.createKey(tagOf("com.example.tpm"), nullptr, &error);
  ASSERT_TRUE(made) << (error ? describe(*error) : "");
  const std::string file = readFile(store.fileFor(tagOf("com.example.tpm")));
  EXPECT_TRUE(file.starts_with("-----BEGIN TSS2 PRIVATE KEY-----")) << file;
  EXPECT_EQ(file.find("BEGIN PRIVATE KEY"), std::string::npos);
  EXPECT_FALSE(SecKeyCopyExternalRepresentation(made, &error)) << "the private key never leaves";
  expectSameKey(store, tagOf("com.example.tpm"), made);

  // The platform's ciphertext layout, sealed in software for the TPM key's public half, opens inside the TPM.
  std::optional<Bytes> publicKey = SecKeyCopyExternalRepresentation(SecKeyCopyPublicKey(made), &error);
  ASSERT_TRUE(publicKey);
  EVP_PKEY* recipient = ecies::decodePublicKey(*publicKey);
  const Bytes message(1000, 0x5A);
  std::optional<Bytes> sealed = ecies::encrypt(recipient, message);
  EVP_PKEY_free(recipient);
  ASSERT_TRUE(sealed);
  EXPECT_EQ(sealed->size(), ecies::kPublicKeySize + message.size() + ecies::kTagSize);
  const auto algorithm = kSecKeyAlgorithmECIESEncryptionCofactorX963SHA256AESGCM;
  EXPECT_EQ(SecKeyCreateDecryptedData(made, algorithm, *sealed, &error), message);
  (*sealed)[ecies::kPublicKeySize] ^= 1;
  EXPECT_FALSE(SecKeyCreateDecryptedData(made, algorithm, *sealed, &error));

  // Another connection to the same TPM (another process, a later run) loads the same key.
  std::shared_ptr<const Tpm> reopened = openTpm(*shared->swtpm);
  ASSERT_TRUE(reopened);
  DeviceKeyStore later(scratch.path(), {reopened, nullptr});
  expectSameKey(later, tagOf("com.example.tpm"), made);
}

TEST(Tpm, ATpmKeyThatCannotBeUsedIsAnErrorAndIsNeverReplaced) {
  ASSERT_TRUE(shared->tpm);
  ScratchFolder scratch;
  SoftwareTpm otherSwtpm;
  ASSERT_TRUE(otherSwtpm.ok()) << otherSwtpm.why();
  std::shared_ptr<const Tpm> other = openTpm(otherSwtpm);
  ASSERT_TRUE(other);

  const Bytes tag = tagOf("com.example.bound");
  DeviceKeyStore here(scratch.path(), {shared->tpm, nullptr});
  DeviceKeyStore elsewhere(scratch.path(), {other, nullptr});
  DeviceKeyStore withoutTpm(scratch.path(), {nullptr, nullptr});
  std::optional<Error> error;
  ASSERT_TRUE(here.createKey(tag, nullptr, &error));
  const fs::path file = here.fileFor(tag);
  const std::string original = readFile(file);
  std::string altered = original;
  altered[altered.size() / 2] = altered[altered.size() / 2] == 'A' ? 'B' : 'A';

  struct Case {
    const char* name;
    DeviceKeyStore* reader;
    const std::string* text;
    OSStatus expected;
  } cases[] = {
      {"no TPM", &withoutTpm, &original, errSecNotAvailable},
      {"another TPM", &elsewhere, &original, errSecDecode},
      {"altered", &here, &altered, errSecDecode},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << *c.text;
    SecItemResult result;
    EXPECT_EQ(c.reader->copyMatching(keyQuery(tag), &result), c.expected);
    EXPECT_FALSE(c.reader->createKey(tag, nullptr, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, c.expected);
    EXPECT_EQ(readFile(file), *c.text) << "the file was changed";
  }

  // The TPM goes away while its keys are in use: using them fails, and nothing is lost.
  DeviceKeyStore gone(scratch.path() / "gone", {other, nullptr});
  ASSERT_TRUE(gone.createKey(tag, nullptr, &error));
  const std::string before = readFile(gone.fileFor(tag));
  otherSwtpm.stop();
  SecItemResult result;
  EXPECT_NE(gone.copyMatching(keyQuery(tag), &result), errSecSuccess);
  EXPECT_FALSE(gone.createKey(tag, nullptr, &error));
  EXPECT_EQ(readFile(gone.fileFor(tag)), before);
}

TEST(Tpm, OnlyTheTpmThatTheSettingNamesIsOpened) {
  std::string why;
  ::setenv("TPM2OPENSSL_TCTI", "swtpm:path=/nonexistent/tessaly/tpm.sock", 1);
  EXPECT_FALSE(Tpm::open(&why));
  EXPECT_NE(why.find("/nonexistent/tessaly/tpm.sock"), std::string::npos) << why;
  ::setenv("TPM2OPENSSL_TCTI", "none", 1);
  EXPECT_EQ(Tpm::machineTcti(), std::nullopt);
  EXPECT_FALSE(Tpm::open(&why));
  ::setenv("TPM2OPENSSL_TCTI", shared->swtpm->tcti().c_str(), 1);
  EXPECT_EQ(Tpm::machineTcti(), shared->swtpm->tcti());
}

}  // namespace
}  // namespace tessaly::security
