#include "tessaly/platform/biometry.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "tessaly/foundation/user_defaults.h"
#include "tessaly/localauth/scripted_authenticator.h"

namespace tessaly::platform {
namespace {

using namespace std::chrono_literals;
using localauth::LAPolicyDeviceOwnerAuthenticationWithBiometrics;
using localauth::LAPolicyDeviceOwnerAuthenticationWithBiometricsOrWatch;
using localauth::LAPolicyDeviceOwnerAuthenticationWithWatch;
using localauth::makeLAError;
using localauth::ScriptedAuthenticator;
using model::CoreBiometricAuthResponse;
using model::CoreBiometricPolicy;
using model::CoreBiometryAvailability;
using model::CoreBiometryMethod;

class Biometry : public ::testing::Test {
 protected:
  void SetUp() override {
    scripted = std::make_shared<ScriptedAuthenticator>();
    localauth::installAuthenticator(scripted);
    BiometryService::setTimings({200ms, 5s});
    BiometryService::setBiometryInProgress(false);
    ASSERT_TRUE(foundation::UserDefaults::standard().setValue(std::nullopt,
                                                              BiometryService::biometryPolicyDomainStatePrefsKey));
  }
  void TearDown() override {
    // Evaluations still held are answered now, so that none ends inside a later test.
    while (scripted->answerHeld({false, std::nullopt})) {}
    localauth::installAuthenticator(nullptr);
    BiometryService::setTimings({});
    BiometryService::setBiometryInProgress(false);
  }
  void biometrics(bool can, std::optional<localauth::Error> error = std::nullopt) {
    scripted->setPolicy(LAPolicyDeviceOwnerAuthenticationWithBiometrics, can, std::move(error));
    scripted->setPolicy(LAPolicyDeviceOwnerAuthenticationWithBiometricsOrWatch, can, std::nullopt);
  }
  void watch(bool can, std::optional<localauth::Error> error = std::nullopt) {
    scripted->setPolicy(LAPolicyDeviceOwnerAuthenticationWithWatch, can, std::move(error));
  }
  static CoreBiometricAuthResponse evaluate(bool useBiometrics = true, bool useWatch = false) {
    return evaluateBiometry("Use password", "Unlock Tessaly", useBiometrics, useWatch);
  }

  std::shared_ptr<ScriptedAuthenticator> scripted;
};

TEST_F(Biometry, PolicyChoiceFollowsWhatCanBeEvaluatedAndWhatIsAllowed) {
  biometrics(true);
  watch(false);
  EXPECT_EQ(BiometryService::standardEvaluationPolicy(true, true), 1);
  watch(true);
  EXPECT_EQ(BiometryService::standardEvaluationPolicy(true, true), 4);
  EXPECT_EQ(BiometryService::standardEvaluationPolicy(false, true), 3);
  EXPECT_EQ(BiometryService::standardEvaluationPolicy(true, false), 1);
  EXPECT_EQ(BiometryService::standardEvaluationPolicy(false, false), 1);
  biometrics(false);
  EXPECT_EQ(BiometryService::standardEvaluationPolicy(true, true), 3);
  EXPECT_FALSE(BiometryService::isBiometryEnabled());
}

TEST_F(Biometry, ASuccessfulEvaluationUsesThePhrasesAndClearsTheFlag) {
  biometrics(true);
  watch(true);
  scripted->queueOutcome({true, std::nullopt});
  EXPECT_EQ(evaluate(true, true), CoreBiometricAuthResponse::authenticationSuccessful);
  EXPECT_EQ(scripted->lastPolicy(), 4);
  EXPECT_EQ(scripted->lastReason(), "Unlock Tessaly");
  EXPECT_EQ(scripted->lastFallbackTitle(), "Use password");
  EXPECT_FALSE(BiometryService::biometryInProgress());
}

TEST_F(Biometry, EveryPlatformErrorMapsToItsResponse) {
  biometrics(true);
  const std::vector<std::pair<std::int64_t, CoreBiometricAuthResponse>> table = {
      {-1, CoreBiometricAuthResponse::authenticationFailed},
      {-2, CoreBiometricAuthResponse::userCancel},
      {-3, CoreBiometricAuthResponse::userFallBack},
      {-4, CoreBiometricAuthResponse::systemCancel},
      {-5, CoreBiometricAuthResponse::passcodeNotSet},
      {-6, CoreBiometricAuthResponse::biometryNotAvailable},
      {-7, CoreBiometricAuthResponse::biometryNotEnrolled},
      {-8, CoreBiometricAuthResponse::biometryLockout},
      {-9, CoreBiometricAuthResponse::appCancel},
      {-10, CoreBiometricAuthResponse::invalidContext},
      {-11, CoreBiometricAuthResponse::watchNotAvailable},
      {-1004, CoreBiometricAuthResponse::notInteractive},
      {-12, CoreBiometricAuthResponse::failureReasonUnknown},
      {0, CoreBiometricAuthResponse::failureReasonUnknown}};
  for (const auto& [code, response] : table) {
    scripted->queueOutcome({false, makeLAError(code, "scripted")});
    EXPECT_EQ(evaluate(), response) << "code " << code;
  }
  // An error of another domain, and a failure without an error.
  scripted->queueOutcome({false, PlatformError{"com.example.other", -2, std::nullopt}});
  EXPECT_EQ(evaluate(), CoreBiometricAuthResponse::biometryAlreadyInProgress);
  scripted->queueOutcome({false, std::nullopt});
  EXPECT_EQ(evaluate(), CoreBiometricAuthResponse::failureReasonUnknown);
}

TEST_F(Biometry, OnlyOneEvaluationRunsAtATime) {
  biometrics(true);
  std::optional<std::pair<bool, std::optional<PlatformError>>> first;
  BiometryService::evaluateBiometryAuthentication(
      "fb", "unlock", true, false, [&](bool ok, std::optional<PlatformError> e) { first.emplace(ok, e); });
  EXPECT_TRUE(BiometryService::biometryInProgress());
  EXPECT_FALSE(first);

  std::optional<PlatformError> second;
  BiometryService::evaluateBiometryAuthentication("fb", "unlock", true, false,
                                                  [&](bool ok, std::optional<PlatformError> e) {
                                                    EXPECT_FALSE(ok);
                                                    second = e;
                                                  });
  EXPECT_EQ(second, (PlatformError{"com.tessaly.biometry", -1, std::nullopt}));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(evaluate(), CoreBiometricAuthResponse::biometryAlreadyInProgress);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "the refusal does not wait";
  EXPECT_EQ(scripted->evaluationsStarted(), 1u);

  ASSERT_TRUE(scripted->answerHeld({true, std::nullopt}));
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->first);
  EXPECT_FALSE(BiometryService::biometryInProgress());
}

TEST_F(Biometry, APromptLeftOpenIsInvalidatedAndItsCancellationReported) {
  biometrics(true);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(evaluate(), CoreBiometricAuthResponse::appCancel);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 200ms);
  EXPECT_LT(waited, 5s) << "the reply came from the invalidation, not the wait's end";
  EXPECT_EQ(scripted->invalidations(), 1u);
  EXPECT_FALSE(BiometryService::biometryInProgress());
}

TEST_F(Biometry, TheContextIsInvalidatedEvenAfterAQuickReplyByTheNextCallerThatNeedsIt) {
  biometrics(true);
  scripted->queueOutcome({true, std::nullopt});
  EXPECT_EQ(evaluate(), CoreBiometricAuthResponse::authenticationSuccessful);
  EXPECT_EQ(scripted->invalidations(), 0u);
  ASSERT_TRUE(BiometryService::nextInvalidation());
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(scripted->invalidations(), 0u) << "no thread of the library's own ran it";
  EXPECT_EQ(BiometryService::invalidateExpiredContexts(), 1u);
  EXPECT_EQ(scripted->invalidations(), 1u);
  EXPECT_FALSE(BiometryService::nextInvalidation());

  // The next evaluation keeps an expired deadline first.
  scripted->queueOutcome({true, std::nullopt});
  EXPECT_EQ(evaluate(), CoreBiometricAuthResponse::authenticationSuccessful);
  std::this_thread::sleep_for(300ms);
  scripted->queueOutcome({true, std::nullopt});
  EXPECT_EQ(evaluate(), CoreBiometricAuthResponse::authenticationSuccessful);
  EXPECT_EQ(scripted->invalidations(), 2u);
}

TEST_F(Biometry, NoReplyWithinTheWaitIsATimeoutAndTheLateReplyStillLands) {
  biometrics(true);
  BiometryService::setTimings({10s, 150ms});
  EXPECT_EQ(evaluate(), CoreBiometricAuthResponse::timeout);
  EXPECT_TRUE(BiometryService::biometryInProgress()) << "the evaluation itself goes on";
  ASSERT_TRUE(scripted->answerHeld({false, makeLAError(-2, "late")}));
  EXPECT_FALSE(BiometryService::biometryInProgress());
}

TEST_F(Biometry, NothingStartsWhenThePolicyCannotBeEvaluatedOrThePhrasesAreMissing) {
  biometrics(false, makeLAError(-7, "not enrolled"));
  EXPECT_EQ(evaluate(), CoreBiometricAuthResponse::biometryNotEnrolled);
  biometrics(true);
  EXPECT_EQ(evaluateBiometry("fb", nullptr, true, false), CoreBiometricAuthResponse::localizedStringsFailure);
  EXPECT_EQ(evaluateBiometry("fb", "\xC3\x28", true, false), CoreBiometricAuthResponse::localizedStringsFailure);
  EXPECT_EQ(scripted->evaluationsStarted(), 0u);
  EXPECT_FALSE(BiometryService::biometryInProgress());
}

TEST_F(Biometry, StatusReportsEnrolmentChangesAgainstTheStoredFingerprint) {
  biometrics(true);
  watch(false);
  scripted->setBiometryType(localauth::LABiometryType::touchID);
  scripted->setDomainState(Bytes{1, 2, 3});
  model::CoreBiometricStatus status = biometricStatus();
  EXPECT_EQ(status.current_policy, CoreBiometricPolicy::biometricsOnly);
  EXPECT_EQ(status.current_method, CoreBiometryMethod::touchId);
  EXPECT_EQ(status.current_availability, CoreBiometryAvailability::enrollmentChanged) << "nothing stored yet";
  EXPECT_FALSE(BiometryService::biometryDataIsValid());

  EXPECT_TRUE(BiometryService::saveBiometricPolicyDomainStateData());
  EXPECT_EQ(BiometryService::biometryDomainStateData(), (Bytes{1, 2, 3}));
  EXPECT_EQ(biometricStatus().current_availability, CoreBiometryAvailability::available);

  scripted->setDomainState(Bytes{9});  // a finger was added
  EXPECT_EQ(biometricStatus().current_availability, CoreBiometryAvailability::enrollmentChanged);
  scripted->setDomainState(std::nullopt);
  EXPECT_FALSE(BiometryService::saveBiometricPolicyDomainStateData());
  EXPECT_EQ(BiometryService::biometryDomainStateData(), (Bytes{1, 2, 3})) << "nothing to save keeps what is stored";

  watch(true);
  scripted->setBiometryType(localauth::LABiometryType::faceID);
  status = biometricStatus();
  EXPECT_EQ(status.current_policy, CoreBiometricPolicy::biometricsOrWatch);
  EXPECT_EQ(status.current_method, CoreBiometryMethod::faceId);
  scripted->setBiometryType(localauth::LABiometryType::opticID);
  EXPECT_EQ(biometricStatus().current_method, CoreBiometryMethod::unknown);
}

TEST_F(Biometry, StatusAvailabilityWhenNothingCanBeEvaluated) {
  watch(false);
  const std::vector<std::pair<std::int64_t, CoreBiometryAvailability>> table = {
      {-11, CoreBiometryAvailability::watchNotAvailable},
      {-10, CoreBiometryAvailability::unknown},
      {-9, CoreBiometryAvailability::unknown},
      {-5, CoreBiometryAvailability::unknown},
      {-8, CoreBiometryAvailability::lockout},
      {-7, CoreBiometryAvailability::notEnrolled},
      {-6, CoreBiometryAvailability::notAvailable},
      {-4, CoreBiometryAvailability::sensorUnavailable},
      {-1004, CoreBiometryAvailability::notInteractive},
      {-1, CoreBiometryAvailability::unknown}};
  for (const auto& [code, availability] : table) {
    biometrics(false, makeLAError(code, "scripted"));
    EXPECT_EQ(biometricStatus().current_availability, availability) << "code " << code;
  }
  biometrics(false);
  EXPECT_EQ(biometricStatus().current_availability, CoreBiometryAvailability::unknown) << "no error reported";
}

TEST_F(Biometry, StoredFingerprintsOfTheWrongShapeOrInAnUnreadableFileCountAsMissing) {
  foundation::UserDefaults& defaults = foundation::UserDefaults::standard();
  const std::string key(BiometryService::biometryPolicyDomainStatePrefsKey);
  ASSERT_TRUE(defaults.setValue(foundation::PropertyValue(Bytes{1}), key));
  EXPECT_FALSE(BiometryService::biometryDomainStateData());
  ASSERT_TRUE(defaults.setValue(foundation::PropertyValue(foundation::PropertyDictionary{
                                    {"evaluatedPolicyDomainState", foundation::PropertyValue("text")}}),
                                key));
  EXPECT_FALSE(BiometryService::biometryDomainStateData());

  std::ofstream(defaults.file(), std::ios::trunc) << "\x01\x02 garbage";
  EXPECT_FALSE(BiometryService::biometryDomainStateData());
  biometrics(true);
  scripted->setDomainState(Bytes{5});
  EXPECT_TRUE(BiometryService::saveBiometricPolicyDomainStateData());
  EXPECT_EQ(BiometryService::biometryDomainStateData(), Bytes{5});
}

#if defined(__x86_64__)
TEST_F(Biometry, WatchAvailabilityFollowsTheWatchPolicy) {
  watch(true);
  EXPECT_TRUE(WatchService::isWatchAvailable());
  EXPECT_EQ(watchAvailability(), CoreBiometryAvailability::available);
  watch(false, makeLAError(-4, "sensor"));
  EXPECT_FALSE(WatchService::isWatchAvailable());
  EXPECT_EQ(watchAvailability(), CoreBiometryAvailability::sensorUnavailable);
  watch(false);
  EXPECT_EQ(watchAvailability(), CoreBiometryAvailability::watchNotAvailable);
}
#endif

TEST(SystemControlTexts, MachineAndFixedFailureTexts) {
  utsname info{};
  ASSERT_EQ(::uname(&info), 0);
  EXPECT_EQ(BiometryService::platform(), info.machine);
  EXPECT_EQ(BiometryService::getSystemStlByName("hw.nonsense"), "Unable to get sysctlbyname");
}

}  // namespace
}  // namespace tessaly::platform
