#include "tessaly/localauth/scripted_authenticator.h"

namespace tessaly::localauth {

class ScriptedAuthenticator::Context : public ContextBackend {
 public:
  explicit Context(std::shared_ptr<ScriptedAuthenticator> owner) : owner_(std::move(owner)) {}

  bool canEvaluatePolicy(LAPolicy policy, std::optional<Error>* error) override {
    return owner_->canEvaluate(policy, error);
  }
  void evaluatePolicy(LAPolicy policy, const std::string& reason, const std::optional<std::string>& fallbackTitle,
                      LAReply reply) override {
    owner_->evaluate(this, policy, reason, fallbackTitle, std::move(reply));
  }
  LABiometryType biometryType() override {
    std::lock_guard<std::mutex> lock(owner_->mutex_);
    return owner_->biometryType_;
  }
  std::optional<Bytes> evaluatedPolicyDomainState() override {
    std::lock_guard<std::mutex> lock(owner_->mutex_);
    return owner_->domainState_;
  }
  void invalidate() override { owner_->invalidate(this); }

 private:
  std::shared_ptr<ScriptedAuthenticator> owner_;
};

void ScriptedAuthenticator::setPolicy(LAPolicy policy, bool canEvaluate, std::optional<Error> error) {
  std::lock_guard<std::mutex> lock(mutex_);
  policies_[policy] = Outcome{canEvaluate, std::move(error)};
}

void ScriptedAuthenticator::setBiometryType(LABiometryType type) {
  std::lock_guard<std::mutex> lock(mutex_);
  biometryType_ = type;
}

void ScriptedAuthenticator::setDomainState(std::optional<Bytes> state) {
  std::lock_guard<std::mutex> lock(mutex_);
  domainState_ = std::move(state);
}

void ScriptedAuthenticator::queueOutcome(Outcome outcome) {
  std::lock_guard<std::mutex> lock(mutex_);
  outcomes_.push_back(std::move(outcome));
}

bool ScriptedAuthenticator::answerHeld(Outcome outcome) {
  LAReply reply;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (held_.empty()) return false;
    reply = std::move(held_.front().reply);
    held_.pop_front();
  }
  reply(outcome.success, std::move(outcome.error));
  return true;
}

std::size_t ScriptedAuthenticator::heldEvaluations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_.size();
}

std::size_t ScriptedAuthenticator::contextsMade() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return contextsMade_;
}

std::size_t ScriptedAuthenticator::evaluationsStarted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return evaluationsStarted_;
}

std::size_t ScriptedAuthenticator::invalidations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return invalidations_;
}

std::optional<LAPolicy> ScriptedAuthenticator::lastPolicy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastPolicy_;
}

std::optional<std::string> ScriptedAuthenticator::lastReason() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastReason_;
}

std::optional<std::string> ScriptedAuthenticator::lastFallbackTitle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastFallbackTitle_;
}

std::shared_ptr<ContextBackend> ScriptedAuthenticator::makeContext() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++contextsMade_;
  }
  return std::make_shared<Context>(shared_from_this());
}

bool ScriptedAuthenticator::canEvaluate(LAPolicy policy, std::optional<Error>* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = policies_.find(policy);
  if (it == policies_.end()) {
    if (error != nullptr) error->reset();
    return false;
  }
  if (error != nullptr) *error = it->second.error;
  return it->second.success;
}

void ScriptedAuthenticator::evaluate(const Context* context, LAPolicy policy, const std::string& reason,
                                     const std::optional<std::string>& fallbackTitle, LAReply reply) {
  std::optional<Outcome> outcome;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++evaluationsStarted_;
    lastPolicy_ = policy;
    lastReason_ = reason;
    lastFallbackTitle_ = fallbackTitle;
    if (outcomes_.empty()) {
      held_.push_back(Held{context, std::move(reply)});
      return;
    }
    outcome = std::move(outcomes_.front());
    outcomes_.pop_front();
  }
  reply(outcome->success, std::move(outcome->error));
}

void ScriptedAuthenticator::invalidate(const Context* context) {
  std::vector<LAReply> cancelled;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++invalidations_;
    for (auto it = held_.begin(); it != held_.end();) {
      if (it->context == context) {
        cancelled.push_back(std::move(it->reply));
        it = held_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (LAReply& reply : cancelled) reply(false, makeLAError(LAErrorAppCancel, "The evaluation was cancelled."));
}

}  // namespace tessaly::localauth
