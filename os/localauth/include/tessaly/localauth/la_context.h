// Local authentication (biometrics, watch, device owner): evaluation contexts and the authenticator behind them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tessaly/foundation/error.h"

namespace tessaly::localauth {

using Bytes = std::vector<std::uint8_t>;
using Error = foundation::Error;

// Evaluation policies, in the platform's numbering.
using LAPolicy = std::int64_t;
inline constexpr LAPolicy LAPolicyDeviceOwnerAuthenticationWithBiometrics = 1;
inline constexpr LAPolicy LAPolicyDeviceOwnerAuthentication = 2;
inline constexpr LAPolicy LAPolicyDeviceOwnerAuthenticationWithWatch = 3;
inline constexpr LAPolicy LAPolicyDeviceOwnerAuthenticationWithBiometricsOrWatch = 4;

// The domain of local-authentication errors and their codes.
inline constexpr std::string_view LAErrorDomain = "com.apple.LocalAuthentication";
enum LAErrorCode : std::int64_t {
  LAErrorAuthenticationFailed = -1,
  LAErrorUserCancel = -2,
  LAErrorUserFallback = -3,
  LAErrorSystemCancel = -4,
  LAErrorPasscodeNotSet = -5,
  LAErrorBiometryNotAvailable = -6,
  LAErrorBiometryNotEnrolled = -7,
  LAErrorBiometryLockout = -8,
  LAErrorAppCancel = -9,
  LAErrorInvalidContext = -10,
  LAErrorWatchNotAvailable = -11,
  LAErrorNotInteractive = -1004,
};

// An error of LAErrorDomain with `code` and a localized description.
Error makeLAError(std::int64_t code, std::string description);

enum class LABiometryType { none, touchID, faceID, opticID };

// The reply of an evaluation: success, or failure with an error when the authenticator gives one.
using LAReply = std::function<void(bool success, std::optional<Error> error)>;

// The authentication service behind one context.
class ContextBackend {
 public:
  virtual ~ContextBackend() = default;
  [[nodiscard]] virtual bool canEvaluatePolicy(LAPolicy policy, std::optional<Error>* error) = 0;
  // Starts an evaluation; `reply` is called exactly once, on any thread, possibly before this returns.
  virtual void evaluatePolicy(LAPolicy policy, const std::string& localizedReason,
                              const std::optional<std::string>& fallbackTitle, LAReply reply) = 0;
  virtual LABiometryType biometryType() = 0;
  virtual std::optional<Bytes> evaluatedPolicyDomainState() = 0;
  // Cancels an evaluation in progress (its reply then reports LAErrorAppCancel) and ends the context.
  virtual void invalidate() = 0;
};

// Makes the backend of each new context.
class Authenticator {
 public:
  virtual ~Authenticator() = default;
  virtual std::shared_ptr<ContextBackend> makeContext() = 0;
};

// This system's authenticator: there is no biometric sensor, no paired watch and no device passcode that a
// context could check, so no policy can be evaluated. Policies 1 and 4 report LAErrorBiometryNotAvailable,
// policy 3 LAErrorWatchNotAvailable, policy 2 LAErrorPasscodeNotSet, any other LAErrorInvalidContext; an
// evaluation fails at once with the same error.
std::shared_ptr<Authenticator> systemAuthenticator();

// Replaces the process-wide authenticator that new contexts use and returns the previous one; null puts the
// system authenticator back. Contexts already made keep their backend. This is the seam through which tests
// (and hosts with an authentication service of their own) decide every outcome.
std::shared_ptr<Authenticator> installAuthenticator(std::shared_ptr<Authenticator> authenticator);

// An evaluation context, made from the authenticator installed at its creation. An invalidated context
// evaluates nothing: checks fail and evaluations reply with LAErrorInvalidContext. Thread-safe.
class LAContext {
 public:
  LAContext();

  [[nodiscard]] bool canEvaluatePolicy(LAPolicy policy, std::optional<Error>* error = nullptr);
  void evaluatePolicy(LAPolicy policy, std::string localizedReason, LAReply reply);
  void setLocalizedFallbackTitle(std::optional<std::string> title);
  std::optional<std::string> localizedFallbackTitle() const;
  LABiometryType biometryType() const;
  std::optional<Bytes> evaluatedPolicyDomainState() const;
  void invalidate();

 private:
  std::shared_ptr<ContextBackend> backend_;
  mutable std::mutex mutex_;
  std::optional<std::string> fallbackTitle_;
  bool invalidated_ = false;
};

}  // namespace tessaly::localauth
