#include "tessaly/localauth/la_context.h"

#include <atomic>

namespace tessaly::localauth {
namespace {

class UnavailableContext : public ContextBackend {
 public:
  bool canEvaluatePolicy(LAPolicy policy, std::optional<Error>* error) override {
    if (error != nullptr) *error = reason(policy);
    return false;
  }
  void evaluatePolicy(LAPolicy policy, const std::string&, const std::optional<std::string>&, LAReply reply) override {
    reply(false, reason(policy));
  }
  LABiometryType biometryType() override { return LABiometryType::none; }
  std::optional<Bytes> evaluatedPolicyDomainState() override { return std::nullopt; }
  void invalidate() override {}

 private:
  static Error reason(LAPolicy policy) {
    switch (policy) {
      case LAPolicyDeviceOwnerAuthenticationWithBiometrics:
      case LAPolicyDeviceOwnerAuthenticationWithBiometricsOrWatch:
        return makeLAError(LAErrorBiometryNotAvailable, "No biometric sensor is available on this system.");
      case LAPolicyDeviceOwnerAuthenticationWithWatch:
        return makeLAError(LAErrorWatchNotAvailable, "No paired watch is available on this system.");
      case LAPolicyDeviceOwnerAuthentication:
        return makeLAError(LAErrorPasscodeNotSet, "No device passcode can be checked on this system.");
      default:
        return makeLAError(LAErrorInvalidContext, "Unknown evaluation policy.");
    }
  }
};

class UnavailableAuthenticator : public Authenticator {
 public:
  std::shared_ptr<ContextBackend> makeContext() override { return std::make_shared<UnavailableContext>(); }
};

std::mutex& installedMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<Authenticator>& installed() {
  static std::shared_ptr<Authenticator> authenticator = systemAuthenticator();
  return authenticator;
}

std::shared_ptr<Authenticator> currentAuthenticator() {
  std::lock_guard<std::mutex> lock(installedMutex());
  return installed();
}

Error invalidContextError() { return makeLAError(LAErrorInvalidContext, "The context has been invalidated."); }

}  // namespace

Error makeLAError(std::int64_t code, std::string description) {
  return Error{std::string(LAErrorDomain), code,
               std::map<std::string, std::string>{
                   {std::string(foundation::kNSLocalizedDescriptionKey), std::move(description)}}};
}

std::shared_ptr<Authenticator> systemAuthenticator() {
  static const std::shared_ptr<Authenticator> system = std::make_shared<UnavailableAuthenticator>();
  return system;
}

std::shared_ptr<Authenticator> installAuthenticator(std::shared_ptr<Authenticator> authenticator) {
  if (!authenticator) authenticator = systemAuthenticator();
  std::lock_guard<std::mutex> lock(installedMutex());
  std::shared_ptr<Authenticator> previous = std::move(installed());
  installed() = std::move(authenticator);
  return previous;
}

LAContext::LAContext() : backend_(currentAuthenticator()->makeContext()) {}

bool LAContext::canEvaluatePolicy(LAPolicy policy, std::optional<Error>* error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (invalidated_) {
      if (error != nullptr) *error = invalidContextError();
      return false;
    }
  }
  std::optional<Error> reported;
  bool can = backend_->canEvaluatePolicy(policy, &reported);
  if (error != nullptr) *error = can ? std::nullopt : std::move(reported);
  return can;
}

void LAContext::evaluatePolicy(LAPolicy policy, std::string localizedReason, LAReply reply) {
  // The reply runs exactly once, whatever the backend does.
  auto answered = std::make_shared<std::atomic<bool>>(false);
  LAReply once = [answered, reply = std::move(reply)](bool success, std::optional<Error> error) {
    if (!answered->exchange(true) && reply) reply(success, std::move(error));
  };
  std::optional<std::string> fallbackTitle;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (invalidated_) {
      once(false, invalidContextError());
      return;
    }
    fallbackTitle = fallbackTitle_;
  }
  backend_->evaluatePolicy(policy, localizedReason, fallbackTitle, once);
}

void LAContext::setLocalizedFallbackTitle(std::optional<std::string> title) {
  std::lock_guard<std::mutex> lock(mutex_);
  fallbackTitle_ = std::move(title);
}

std::optional<std::string> LAContext::localizedFallbackTitle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fallbackTitle_;
}

LABiometryType LAContext::biometryType() const { return backend_->biometryType(); }

std::optional<Bytes> LAContext::evaluatedPolicyDomainState() const { return backend_->evaluatedPolicyDomainState(); }

void LAContext::invalidate() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    invalidated_ = true;
  }
  backend_->invalidate();
}

}  // namespace tessaly::localauth
