#include "tessaly/platform/biometry.h"

#include <atomic>
#include <memory>
#include <semaphore>

#include "tessaly/base/utf8.h"
#include "tessaly/foundation/deadlines.h"
#include "tessaly/foundation/system_control.h"
#include "tessaly/foundation/user_defaults.h"

namespace tessaly::platform {

using foundation::PropertyDictionary;
using foundation::PropertyValue;
using localauth::LAContext;
using model::CoreBiometricAuthResponse;
using model::CoreBiometricPolicy;
using model::CoreBiometryAvailability;
using model::CoreBiometryMethod;

namespace {

// Our local-authentication layer always reports the biometry type and always knows the watch policy.
constexpr bool kHasBiometryType = true;
constexpr bool kHasWatchPolicies = true;

std::atomic<bool>& inProgressFlag() {
  static std::atomic<bool> flag{false};
  return flag;
}

std::atomic<CoreBiometricAuthResponse>& lastAuthResponse() {
  static std::atomic<CoreBiometricAuthResponse> response{CoreBiometricAuthResponse::failureReasonUnknown};
  return response;
}

std::atomic<std::int64_t>& invalidateAfterMs() {
  static std::atomic<std::int64_t> ms{BiometryService::Timings{}.invalidateAfter.count()};
  return ms;
}

std::atomic<std::int64_t>& replyWaitMs() {
  static std::atomic<std::int64_t> ms{BiometryService::Timings{}.replyWait.count()};
  return ms;
}

// The pending invalidations of evaluation contexts. The library starts no thread: they run when a caller
// next needs them (starting an evaluation, or waiting for one through the C entry).
foundation::Deadlines& invalidations() {
  static foundation::Deadlines deadlines;
  return deadlines;
}

bool canEvaluateWatchPolicy() {
  LAContext context;
  return context.canEvaluatePolicy(localauth::LAPolicyDeviceOwnerAuthenticationWithWatch);
}

bool watchUnlockPossible() {
#if defined(__x86_64__)
  return WatchService::isWatchAvailable();
#else
  return kHasWatchPolicies && canEvaluateWatchPolicy();
#endif
}

PlatformError inProgressError() { return PlatformError{std::string(biometryErrorDomain), -1, std::nullopt}; }

}  // namespace

bool BiometryService::biometryInProgress() noexcept { return inProgressFlag().load(); }
void BiometryService::setBiometryInProgress(bool inProgress) noexcept { inProgressFlag().store(inProgress); }

BiometryService::Timings BiometryService::timings() noexcept {
  return Timings{std::chrono::milliseconds(invalidateAfterMs().load()),
                 std::chrono::milliseconds(replyWaitMs().load())};
}

void BiometryService::setTimings(Timings timings) noexcept {
  invalidateAfterMs().store(timings.invalidateAfter.count());
  replyWaitMs().store(timings.replyWait.count());
}

std::string BiometryService::model() { return getSystemStlByName("hw.model"); }
std::string BiometryService::platform() { return getSystemStlByName("hw.machine"); }

bool BiometryService::isBiometryEnabled() {
  LAContext context;
  return context.canEvaluatePolicy(localauth::LAPolicyDeviceOwnerAuthenticationWithBiometrics);
}

LAPolicy BiometryService::standardEvaluationPolicy(bool useBiometrics, bool allowWatchUnlock) {
  if (!kHasWatchPolicies || !allowWatchUnlock || !watchUnlockPossible()) {
    return localauth::LAPolicyDeviceOwnerAuthenticationWithBiometrics;
  }
  if (useBiometrics && isBiometryEnabled()) return localauth::LAPolicyDeviceOwnerAuthenticationWithBiometricsOrWatch;
  return localauth::LAPolicyDeviceOwnerAuthenticationWithWatch;
}

std::optional<Bytes> BiometryService::currentEvaluatedPolicyDomainState() {
  LAContext context;
  if (!context.canEvaluatePolicy(localauth::LAPolicyDeviceOwnerAuthenticationWithBiometrics)) return std::nullopt;
  return context.evaluatedPolicyDomainState();
}

std::optional<Bytes> BiometryService::biometryDomainStateData() {
  std::optional<PropertyValue> stored =
      foundation::UserDefaults::standard().objectForKey(biometryPolicyDomainStatePrefsKey);
  const auto* dictionary = stored ? stored->getIf<PropertyDictionary>() : nullptr;
  if (dictionary == nullptr) return std::nullopt;
  auto it = dictionary->find(biometryPolicyDomainState);
  if (it == dictionary->end()) return std::nullopt;
  const auto* data = it->second.getIf<foundation::Bytes>();
  return data != nullptr ? std::optional<Bytes>(*data) : std::nullopt;
}

bool BiometryService::saveBiometricPolicyDomainStateData() {
  std::optional<Bytes> state = currentEvaluatedPolicyDomainState();
  if (!state) return false;
  PropertyDictionary entry{{std::string(biometryPolicyDomainState), PropertyValue(std::move(*state))}};
  return foundation::UserDefaults::standard().setValue(PropertyValue(std::move(entry)),
                                                       biometryPolicyDomainStatePrefsKey);
}

bool BiometryService::biometryDataIsValid() {
  std::optional<Bytes> stored = biometryDomainStateData();
  if (!stored) return false;
  std::optional<Bytes> current = currentEvaluatedPolicyDomainState();
  return current && *current == *stored;
}

std::string BiometryService::getSystemStlByName(std::string_view name) {
  const std::string key(name);
  std::size_t size = 0;
  if (foundation::sysctlbyname(key.c_str(), nullptr, &size, nullptr, 0) != 0 || size < 1) {
    return "Unable to get sysctlbyname";
  }
  std::string buffer(size, '\0');
  if (foundation::sysctlbyname(key.c_str(), buffer.data(), &size, nullptr, 0) == 0 && size > 0) {
    return std::string(buffer.c_str());  // up to the first NUL
  }
  return "Unknown device platform";
}

std::size_t BiometryService::invalidateExpiredContexts() { return invalidations().runDue(); }

std::optional<std::chrono::steady_clock::time_point> BiometryService::nextInvalidation() {
  return invalidations().next();
}

void BiometryService::evaluateBiometryAuthentication(std::string biometryFallbackPhrase,
                                                     std::string biometryUnlockPhrase, bool useBiometrics,
                                                     bool useAppleWatch, Handler handler) {
  invalidateExpiredContexts();
  if (biometryInProgress()) {
    handler(false, inProgressError());
    return;
  }
  const LAPolicy policy = standardEvaluationPolicy(useBiometrics, useAppleWatch);
  auto context = std::make_shared<LAContext>();
  std::optional<localauth::Error> refusal;
  if (!context->canEvaluatePolicy(policy, &refusal)) {
    handler(false, std::move(refusal));
    return;
  }
  context->setLocalizedFallbackTitle(std::move(biometryFallbackPhrase));
  setBiometryInProgress(true);
  // The context is invalidated after a while even if the evaluation never finishes; a finished one ignores it.
  invalidations().add(std::chrono::steady_clock::now() + timings().invalidateAfter,
                      [context] { context->invalidate(); });
  context->evaluatePolicy(policy, std::move(biometryUnlockPhrase),
                          [handler = std::move(handler)](bool success, std::optional<localauth::Error> error) {
                            setBiometryInProgress(false);
                            handler(success, std::move(error));
                          });
}

#if defined(__x86_64__)
bool WatchService::isWatchAvailable() { return kHasWatchPolicies && canEvaluateWatchPolicy(); }
#endif

CoreBiometricAuthResponse authResponseFromError(std::int64_t code) noexcept {
  // Each local-authentication error with a response of its own; any other code is an unknown reason.
  switch (code) {
    case localauth::LAErrorAppCancel:
      return CoreBiometricAuthResponse::appCancel;
    case localauth::LAErrorSystemCancel:
      return CoreBiometricAuthResponse::systemCancel;
    case localauth::LAErrorUserCancel:
      return CoreBiometricAuthResponse::userCancel;
    case localauth::LAErrorBiometryLockout:
      return CoreBiometricAuthResponse::biometryLockout;
    case localauth::LAErrorBiometryNotAvailable:
      return CoreBiometricAuthResponse::biometryNotAvailable;
    case localauth::LAErrorBiometryNotEnrolled:
      return CoreBiometricAuthResponse::biometryNotEnrolled;
    case localauth::LAErrorAuthenticationFailed:
      return CoreBiometricAuthResponse::authenticationFailed;
    case localauth::LAErrorInvalidContext:
      return CoreBiometricAuthResponse::invalidContext;
    case localauth::LAErrorNotInteractive:
      return CoreBiometricAuthResponse::notInteractive;
    case localauth::LAErrorPasscodeNotSet:
      return CoreBiometricAuthResponse::passcodeNotSet;
    case localauth::LAErrorUserFallback:
      return CoreBiometricAuthResponse::userFallBack;
    case localauth::LAErrorWatchNotAvailable:
      if (kHasWatchPolicies) return CoreBiometricAuthResponse::watchNotAvailable;
      return CoreBiometricAuthResponse::failureReasonUnknown;
    default:
      return CoreBiometricAuthResponse::failureReasonUnknown;
  }
}

CoreBiometryAvailability availabilityFromError(std::int64_t code) noexcept {
  switch (code) {
    case localauth::LAErrorWatchNotAvailable:
      return CoreBiometryAvailability::watchNotAvailable;
    case localauth::LAErrorInvalidContext:
    case localauth::LAErrorAppCancel:
    case localauth::LAErrorPasscodeNotSet:
      return CoreBiometryAvailability::unknown;
    case localauth::LAErrorBiometryLockout:
      return CoreBiometryAvailability::lockout;
    case localauth::LAErrorBiometryNotEnrolled:
      return CoreBiometryAvailability::notEnrolled;
    case localauth::LAErrorBiometryNotAvailable:
      return CoreBiometryAvailability::notAvailable;
    case localauth::LAErrorSystemCancel:
      return CoreBiometryAvailability::sensorUnavailable;
    case localauth::LAErrorNotInteractive:
      return CoreBiometryAvailability::notInteractive;
    default:
      return CoreBiometryAvailability::unknown;
  }
}

model::CoreBiometricStatus biometricStatus() {
  model::CoreBiometricStatus status;
  const LAPolicy policy = BiometryService::standardEvaluationPolicy(true, true);
  switch (policy) {
    case localauth::LAPolicyDeviceOwnerAuthenticationWithBiometrics:
      status.current_policy = CoreBiometricPolicy::biometricsOnly;
      break;
    case localauth::LAPolicyDeviceOwnerAuthenticationWithWatch:
      status.current_policy = CoreBiometricPolicy::watchOnly;
      break;
    case localauth::LAPolicyDeviceOwnerAuthenticationWithBiometricsOrWatch:
      status.current_policy = CoreBiometricPolicy::biometricsOrWatch;
      break;
    default:
      status.current_policy = CoreBiometricPolicy::noneAvailable;
      break;
  }
  if (!kHasBiometryType) {
    status.current_method = CoreBiometryMethod::unknown;
    status.current_availability = CoreBiometryAvailability::unknown;
    return status;
  }
  LAContext context;
  std::optional<localauth::Error> error;
  const bool canEvaluate = context.canEvaluatePolicy(policy, &error);
  switch (context.biometryType()) {
    case localauth::LABiometryType::none:
      status.current_method = CoreBiometryMethod::noneAvailable;
      break;
    case localauth::LABiometryType::touchID:
      status.current_method = CoreBiometryMethod::touchId;
      break;
    case localauth::LABiometryType::faceID:
      status.current_method = CoreBiometryMethod::faceId;
      break;
    default:
      status.current_method = CoreBiometryMethod::unknown;
      break;
  }
  if (canEvaluate) {
    status.current_availability = BiometryService::biometryDataIsValid() ? CoreBiometryAvailability::available
                                                                         : CoreBiometryAvailability::enrollmentChanged;
  } else {
    status.current_availability = error ? availabilityFromError(error->code) : CoreBiometryAvailability::unknown;
  }
  return status;
}

CoreBiometricAuthResponse evaluateBiometry(const char* biometryFallbackPhrase, const char* biometryUnlockPhrase,
                                           bool useBiometrics, bool useAppleWatch) {
  if (biometryFallbackPhrase == nullptr || biometryUnlockPhrase == nullptr ||
      !base::isValidUtf8(biometryFallbackPhrase) || !base::isValidUtf8(biometryUnlockPhrase)) {
    return CoreBiometricAuthResponse::localizedStringsFailure;
  }
  // Shared with the completion, which may run after this call has given up waiting.
  auto signal = std::make_shared<std::counting_semaphore<>>(0);
  std::atomic<CoreBiometricAuthResponse>& last = lastAuthResponse();
  BiometryService::evaluateBiometryAuthentication(biometryFallbackPhrase, biometryUnlockPhrase, useBiometrics,
                                                  useAppleWatch,
                                                  [signal, &last](bool success, std::optional<PlatformError> error) {
                                                    if (success) {
                                                      last.store(CoreBiometricAuthResponse::authenticationSuccessful);
                                                    } else if (error && error->domain == localauth::LAErrorDomain) {
                                                      last.store(authResponseFromError(error->code));
                                                    } else if (error) {
                                                      last.store(CoreBiometricAuthResponse::biometryAlreadyInProgress);
                                                    } else {
                                                      last.store(CoreBiometricAuthResponse::failureReasonUnknown);
                                                    }
                                                    signal->release();
                                                  });
  // The wait is on this thread, which also keeps the invalidation deadlines that fall within it.
  const auto waitEnd = std::chrono::steady_clock::now() + BiometryService::timings().replyWait;
  for (;;) {
    const auto next = BiometryService::nextInvalidation();
    if (signal->try_acquire_until(next && *next < waitEnd ? *next : waitEnd)) break;
    BiometryService::invalidateExpiredContexts();
    if (std::chrono::steady_clock::now() >= waitEnd) {
      if (!signal->try_acquire()) last.store(CoreBiometricAuthResponse::timeout);
      break;
    }
  }
  return last.load();
}

#if defined(__x86_64__)
CoreBiometryAvailability watchAvailability() {
  if (!kHasWatchPolicies) return CoreBiometryAvailability::watchNotAvailable;
  LAContext context;
  std::optional<localauth::Error> error;
  if (context.canEvaluatePolicy(localauth::LAPolicyDeviceOwnerAuthenticationWithWatch, &error)) {
    return CoreBiometryAvailability::available;
  }
  return error ? availabilityFromError(error->code) : CoreBiometryAvailability::watchNotAvailable;
}
#endif

}  // namespace tessaly::platform
