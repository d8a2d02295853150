#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "tessaly/model/json.h"
#include "tessaly/platform/tessaly_platform.h"
#include "tessaly/security/device_key_store.h"
#include "tessaly/testing/key_store.h"
#include "tessaly/testing/software_tpm.h"
#include "test_environment.h"

namespace tessaly::platform {
namespace {

using tessaly::testing::readFile;
using tessaly::testing::SoftwareTpm;

// This program's device keys live in a software TPM of its own, named before the key store is first used.
class TpmOfThisProgram : public ::testing::Environment {
 public:
  void SetUp() override {
    swtpm = std::make_unique<SoftwareTpm>();
    ASSERT_TRUE(swtpm->ok()) << swtpm->why();
    ::setenv("TPM2OPENSSL_TCTI", swtpm->tcti().c_str(), 1);
  }
  void TearDown() override { swtpm.reset(); }
  std::unique_ptr<SoftwareTpm> swtpm;
};
TpmOfThisProgram* const tpm = static_cast<TpmOfThisProgram*>(::testing::AddGlobalTestEnvironment(new TpmOfThisProgram));

std::string take(char* text) {
  std::string copy = text != nullptr ? text : "";
  tessalyFreeText(text);
  return copy;
}

std::vector<std::uint8_t> bytesOf(const std::string& json) {
  auto result = model::decode<model::CoreEnclaveResult>(json);
  EXPECT_TRUE(result && result->which() == model::CoreEnclaveResult::Case::success) << json.substr(0, 200);
  return result && result->which() == model::CoreEnclaveResult::Case::success
             ? result->get<model::CoreEnclaveResult::Case::success>()
             : std::vector<std::uint8_t>{};
}

TEST(EnclaveWithTpm, KeysAreMadeInTheTpmAndTheEntryPointsKeepTheirJsonAndStartNoThread) {
  ASSERT_TRUE(tpm->swtpm);
  const std::size_t threads = testing::threadsOfThisProcess();
  const std::string tag = "com.example.tpm-entry";
  const std::vector<std::uint8_t> secret(1024, 0xC3);

  const auto sealed = bytesOf(take(enclaveEncryptJson(tag.c_str(), secret.data(), secret.size())));
  ASSERT_EQ(sealed.size(), 65 + secret.size() + 16);
  EXPECT_EQ(sealed.front(), 0x04);

  const std::string file =
      readFile(security::DeviceKeyStore::shared().fileFor(security::Bytes(tag.begin(), tag.end())));
  EXPECT_TRUE(file.starts_with("-----BEGIN TSS2 PRIVATE KEY-----")) << file;

  EXPECT_EQ(bytesOf(take(enclaveDecryptJson(tag.c_str(), sealed.data(), sealed.size()))), secret);
  EXPECT_EQ(take(enclaveDecryptJson("com.example.tpm-stranger", sealed.data(), sealed.size())),
            R"({"type":"Error","content":{"type":"DecryptFailed"}})");
  EXPECT_EQ(take(enclaveDeleteKeyJson(tag.c_str())), R"({"type":"Success","content":[]})");
  EXPECT_EQ(take(enclaveDecryptJson(tag.c_str(), sealed.data(), sealed.size())),
            R"({"type":"Error","content":{"type":"DecryptFailed"}})")
      << "a new key for the tag cannot open the old key's data";

  EXPECT_EQ(testing::threadsOfThisProcess(), threads);
}

}  // namespace
}  // namespace tessaly::platform
