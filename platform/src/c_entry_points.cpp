// The C entry points of the library (those of the code-signature checks come from the verification area).
#include <cstdlib>
#include <cstring>
#include <string>

#include "tessaly/model/json.h"
#include "tessaly/platform/biometry.h"
#include "tessaly/platform/secure_enclave.h"
#include "tessaly/platform/tessaly_platform.h"

namespace {

namespace platform = tessaly::platform;
namespace model = tessaly::model;

char* copyText(const std::string& text) noexcept {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

template <class T>
char* jsonText(const T& value) noexcept {
  try {
    const auto json = model::encode(value);
    return copyText(json ? *json : std::string());
  } catch (...) {
    return nullptr;  // out of memory
  }
}

bool truth(TessalyBOOL value) noexcept { return (value & 1) != 0; }

template <class C, class M>
constexpr bool sameOrder(C c, M m) {
  return static_cast<int>(c) == static_cast<int>(m);
}
static_assert(sameOrder(TessalyBiometricPolicyNoneAvailable, model::CoreBiometricPolicy::noneAvailable));
static_assert(sameOrder(TessalyBiometricPolicyWatchOnly, model::CoreBiometricPolicy::watchOnly));
static_assert(sameOrder(TessalyBiometryMethodFaceId, model::CoreBiometryMethod::faceId));
static_assert(sameOrder(TessalyBiometryAvailabilityUnknown, model::CoreBiometryAvailability::unknown));
static_assert(sameOrder(TessalyBiometryAvailabilityEnrollmentChanged,
                        model::CoreBiometryAvailability::enrollmentChanged));

TessalyBiometricStatus toC(const model::CoreBiometricStatus& status) {
  return TessalyBiometricStatus{static_cast<TessalyBiometricPolicy>(status.current_policy),
                                static_cast<TessalyBiometryMethod>(status.current_method),
                                static_cast<TessalyBiometryAvailability>(status.current_availability)};
}

model::CoreBiometricStatus statusOrUnknown() noexcept {
  try {
    return platform::biometricStatus();
  } catch (...) {
    return model::CoreBiometricStatus{model::CoreBiometricPolicy::noneAvailable, model::CoreBiometryMethod::unknown,
                                      model::CoreBiometryAvailability::unknown};
  }
}

}  // namespace

extern "C" {

void tessalyFreeText(char* text) { std::free(text); }

char* evaluateBiometryJson(const char* biometryFallbackPhrase, const char* biometryUnlockPhrase,
                           TessalyBOOL useBiometrics, TessalyBOOL useWatch) {
  try {
    return jsonText(platform::evaluateBiometry(biometryFallbackPhrase, biometryUnlockPhrase, truth(useBiometrics),
                                               truth(useWatch)));
  } catch (...) { return jsonText(model::CoreBiometricAuthResponse::failureReasonUnknown); }
}

char* biometricStatusJson(void) { return jsonText(statusOrUnknown()); }

TessalyBiometricStatus biometricStatus(void) { return toC(statusOrUnknown()); }

void saveBiometricPolicyDomainState(void) {
  try {
    // The C interface cannot report a failed save: the stored fingerprint stays as it was, and the next status
    // reports the enrolment as changed.
    [[maybe_unused]] const bool saved = platform::BiometryService::saveBiometricPolicyDomainStateData();
  } catch (...) {
    // Nothing is stored when the defaults cannot be written.
  }
}

#if defined(__x86_64__)
TessalyBOOL isWatchAvailableEntry(void) {
  try {
    return platform::WatchService::isWatchAvailable() ? 1 : 0;
  } catch (...) { return 0; }
}

char* watchAvailabilityJson(void) {
  try {
    return jsonText(platform::watchAvailability());
  } catch (...) { return jsonText(model::CoreBiometryAvailability::unknown); }
}

TessalyBiometryAvailability watchAvailability(void) {
  try {
    return static_cast<TessalyBiometryAvailability>(platform::watchAvailability());
  } catch (...) { return TessalyBiometryAvailabilityUnknown; }
}
#endif

char* enclaveEncryptJson(const char* tag, const uint8_t* bytes, size_t length) {
  try {
    return jsonText(platform::enclaveOperation(tag, bytes, length, 2));
  } catch (...) { return jsonText(model::CoreEnclaveResult::error(model::CoreEnclaveError::encryptFailed())); }
}

char* enclaveDecryptJson(const char* tag, const uint8_t* bytes, size_t length) {
  try {
    return jsonText(platform::enclaveOperation(tag, bytes, length, 3));
  } catch (...) { return jsonText(model::CoreEnclaveResult::error(model::CoreEnclaveError::decryptFailed())); }
}

char* enclaveDeleteKeyJson(const char* tag) {
  try {
    return jsonText(platform::enclaveDeleteKey(tag));
  } catch (...) { return nullptr; }
}

}  // extern "C"
