#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "tessaly/localauth/scripted_authenticator.h"
#include "tessaly/model/json.h"
#include "tessaly/platform/biometry.h"
#include "tessaly/platform/tessaly_platform.h"
#include "test_environment.h"

extern "C" int tessalyCHeaderDeletesMissingKey(void);
extern "C" int tessalyCHeaderStatusSize(void);

namespace tessaly::platform {
namespace {

// Takes a text returned by the library and releases it the documented way.
std::string take(char* text) {
  EXPECT_NE(text, nullptr);
  std::string copy = text != nullptr ? text : "";
  tessalyFreeText(text);
  return copy;
}

TEST(CInterface, EnclaveResultsAreTheDocumentedJson) {
  EXPECT_EQ(take(enclaveDeleteKeyJson("com.example.c.none")), R"({"type":"Success","content":[]})");
  EXPECT_EQ(take(enclaveEncryptJson(nullptr, reinterpret_cast<const uint8_t*>("x"), 1)),
            R"({"type":"Error","content":{"type":"FailedToCreateDataFromApplicationTag"}})");
  EXPECT_EQ(take(enclaveDecryptJson("com.example.c", nullptr, 5)),
            R"({"type":"Error","content":{"type":"DecryptFailed"}})");

  const std::string sealed = take(enclaveEncryptJson("com.example.c", reinterpret_cast<const uint8_t*>("hi"), 2));
  auto result = model::decode<model::CoreEnclaveResult>(sealed);
  ASSERT_TRUE(result) << sealed;
  const auto& bytes = result->get<model::CoreEnclaveResult::Case::success>();
  EXPECT_EQ(take(enclaveDecryptJson("com.example.c", bytes.data(), bytes.size())),
            R"({"type":"Success","content":[104,105]})");
  EXPECT_EQ(tessalyCHeaderDeletesMissingKey(), 1);
}

TEST(CInterface, BiometricEntriesOnAMachineWithoutSensors) {
  EXPECT_EQ(take(evaluateBiometryJson(nullptr, "unlock", 1, 0)), R"("LocalizedStringsFailure")");
  EXPECT_EQ(take(evaluateBiometryJson("fallback", "unlock", 1, 1)), R"("BiometryNotAvailable")");
  EXPECT_EQ(
      take(biometricStatusJson()),
      R"({"current_policy":"BiometricsOnly","current_method":"NoneAvailable","current_availability":"NotAvailable"})");
  const TessalyBiometricStatus status = ::biometricStatus();
  EXPECT_EQ(status.current_policy, TessalyBiometricPolicyBiometricsOnly);
  EXPECT_EQ(status.current_method, TessalyBiometryMethodNoneAvailable);
  EXPECT_EQ(status.current_availability, TessalyBiometryAvailabilityNotAvailable);
  EXPECT_EQ(tessalyCHeaderStatusSize(), static_cast<int>(sizeof(TessalyBiometricStatus)));
  saveBiometricPolicyDomainState();  // nothing to save, nothing happens
  EXPECT_FALSE(BiometryService::biometryDomainStateData());
#if defined(__x86_64__)
  EXPECT_EQ(isWatchAvailableEntry(), 0);
  EXPECT_EQ(take(watchAvailabilityJson()), R"("WatchNotAvailable")");
  EXPECT_EQ(::watchAvailability(), TessalyBiometryAvailabilityWatchNotAvailable);
#endif
}

TEST(CInterface, TruthValuesCountOnlyTheirLowBit) {
  auto scripted = std::make_shared<localauth::ScriptedAuthenticator>();
  scripted->setPolicy(localauth::LAPolicyDeviceOwnerAuthenticationWithBiometrics, true);
  scripted->setPolicy(localauth::LAPolicyDeviceOwnerAuthenticationWithWatch, true);
  scripted->setPolicy(localauth::LAPolicyDeviceOwnerAuthenticationWithBiometricsOrWatch, true);
  localauth::installAuthenticator(scripted);
  scripted->queueOutcome({true, std::nullopt});
  scripted->queueOutcome({true, std::nullopt});
  EXPECT_EQ(take(evaluateBiometryJson("fb", "unlock", 1, 2)), R"("AuthenticationSuccessful")");
  EXPECT_EQ(scripted->lastPolicy(), 1) << "2 is false: watch not allowed";
  EXPECT_EQ(take(evaluateBiometryJson("fb", "unlock", 3, 3)), R"("AuthenticationSuccessful")");
  EXPECT_EQ(scripted->lastPolicy(), 4);
  localauth::installAuthenticator(nullptr);
}

// Biometric evaluations wait, and keep their invalidation deadline, on the caller's thread.
TEST(CInterface, NoBiometricEntryPointStartsAThread) {
  const std::size_t before = testing::threadsOfThisProcess();
  auto scripted = std::make_shared<localauth::ScriptedAuthenticator>();
  scripted->setPolicy(localauth::LAPolicyDeviceOwnerAuthenticationWithBiometrics, true);
  localauth::installAuthenticator(scripted);
  const BiometryService::Timings defaults = BiometryService::timings();
  BiometryService::setTimings({std::chrono::milliseconds(100), std::chrono::seconds(5)});

  // A prompt nobody answers: the waiting caller invalidates it when its deadline comes.
  EXPECT_EQ(take(evaluateBiometryJson("fb", "unlock", 1, 0)), R"("AppCancel")");
  scripted->queueOutcome({true, std::nullopt});
  EXPECT_EQ(take(evaluateBiometryJson("fb", "unlock", 1, 0)), R"("AuthenticationSuccessful")");
  take(biometricStatusJson());

  EXPECT_EQ(testing::threadsOfThisProcess(), before);
  BiometryService::setTimings(defaults);
  localauth::installAuthenticator(nullptr);
}

TEST(CInterface, CodeSignatureEntriesComeFromTheSameLibrary) {
  EXPECT_EQ(validateRemoteProcess(::getpid()) & 1, 0) << "an unsigned test program is nobody's peer";
  const std::string home = take(realHomeDirectory());
  EXPECT_FALSE(home.empty());
}

}  // namespace
}  // namespace tessaly::platform
