// Biometric and watch authentication for host applications: policy choice, one evaluation at a time, the
// biometric status and the enrolment fingerprint kept in user defaults.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tessaly/localauth/la_context.h"
#include "tessaly/model/core_types.h"
#include "tessaly/platform/platform_error.h"

namespace tessaly::platform {

using Bytes = std::vector<std::uint8_t>;
using localauth::LAPolicy;

// The domain of the error an evaluation reports when another one is still running (code -1).
inline constexpr std::string_view biometryErrorDomain = "com.tessaly.biometry";

// Stateless holder of the biometric operations; everything is a class member. The process-wide state is the
// biometryInProgress flag and the result slot of the C evaluation entry. Uses the installed local-
// authentication authenticator (on this system none can evaluate anything) and UserDefaults::standard().
// Starts no thread: the delayed invalidation of each evaluation's context is run by the next caller that
// needs it (see invalidateExpiredContexts).
class BiometryService {
 public:
  BiometryService() = delete;

  static constexpr std::string_view secureEnclaveApplicationTag = "com.marrowind.tessaly.biometry";
  static constexpr std::string_view biometryPolicyDomainStatePrefsKey = "UnlockServiceBiometryPolicyDomainState";
  static constexpr std::string_view biometryPolicyDomainState = "evaluatedPolicyDomainState";

  // True from the moment an evaluation is handed to the authenticator until its reply arrives.
  static bool biometryInProgress() noexcept;
  static void setBiometryInProgress(bool inProgress) noexcept;

  // The system control values "hw.model" and "hw.machine" (or the failure texts of getSystemStlByName).
  static std::string model();
  static std::string platform();

  // Whether a fresh context can evaluate the biometrics policy (1).
  static bool isBiometryEnabled();
  // 1 (biometrics), 3 (watch) or 4 (biometrics or watch); 1 whenever watch unlock is not allowed or possible.
  static LAPolicy standardEvaluationPolicy(bool useBiometrics, bool allowWatchUnlock);
  // The enrolment fingerprint of a fresh context that can evaluate policy 1; nothing otherwise.
  static std::optional<Bytes> currentEvaluatedPolicyDomainState();
  // The stored fingerprint; nothing when missing or not a dictionary holding data under its key.
  static std::optional<Bytes> biometryDomainStateData();
  // Stores the current fingerprint; false when there is none or the defaults cannot be written.
  [[nodiscard]] static bool saveBiometricPolicyDomainStateData();
  // Stored and current fingerprints both present and equal.
  static bool biometryDataIsValid();
  // A text-valued system control: "Unable to get sysctlbyname" when its size cannot be read, "Unknown device
  // platform" when its value cannot.
  static std::string getSystemStlByName(std::string_view name);

  using Handler = std::function<void(bool success, std::optional<PlatformError> error)>;
  // Runs one evaluation. While another runs, `handler` gets (false, biometryErrorDomain -1) at once. When the
  // chosen policy cannot be evaluated, nothing starts and `handler` gets (false, the authenticator's error,
  // if any). Otherwise `handler` gets the authenticator's reply, on whatever thread it arrives; the context is
  // invalidated once Timings::invalidateAfter has passed in any case, by the first of: the C entry waiting
  // for the evaluation, the next evaluation, or the host calling invalidateExpiredContexts().
  static void evaluateBiometryAuthentication(std::string biometryFallbackPhrase, std::string biometryUnlockPhrase,
                                             bool useBiometrics, bool useAppleWatch, Handler handler);

  // Invalidates, on the calling thread, the contexts whose invalidation is due; returns how many. A host that
  // runs evaluations through the handler entry above calls it from its own loop, at nextInvalidation().
  static std::size_t invalidateExpiredContexts();
  // When the next invalidation is due; nothing when none is pending.
  static std::optional<std::chrono::steady_clock::time_point> nextInvalidation();

  // The two delays of an evaluation. Process-wide; only tests change them.
  struct Timings {
    std::chrono::milliseconds invalidateAfter{30'000};  // the context of an evaluation is invalidated then
    std::chrono::milliseconds replyWait{60'000};        // the C entry waits at most this long for a reply
  };
  static Timings timings() noexcept;
  static void setTimings(Timings timings) noexcept;
};

#if defined(__x86_64__)
// Watch unlock (x86_64 builds only).
class WatchService {
 public:
  WatchService() = delete;
  // Whether a fresh context can evaluate the watch policy (3).
  static bool isWatchAvailable();
};
#endif

// Local-authentication error code → outcome of an evaluation.
model::CoreBiometricAuthResponse authResponseFromError(std::int64_t code) noexcept;
// Local-authentication error code → biometric availability.
model::CoreBiometryAvailability availabilityFromError(std::int64_t code) noexcept;

// The policy, method and availability of biometric authentication on this machine.
model::CoreBiometricStatus biometricStatus();

// Runs an evaluation and waits for its outcome at most Timings::replyWait, on the calling thread (which also
// invalidates the context when its deadline falls within the wait); the C entry evaluateBiometryJson returns
// this as JSON. Null texts (or texts that are not UTF-8) give localizedStringsFailure at once.
[[nodiscard]] model::CoreBiometricAuthResponse evaluateBiometry(const char* biometryFallbackPhrase,
                                                                const char* biometryUnlockPhrase, bool useBiometrics,
                                                                bool useAppleWatch);

#if defined(__x86_64__)
// Whether watch unlock can be used, as an availability (x86_64 builds only).
model::CoreBiometryAvailability watchAvailability();
#endif

}  // namespace tessaly::platform
