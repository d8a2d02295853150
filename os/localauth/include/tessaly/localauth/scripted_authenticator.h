// An authenticator whose every answer is set beforehand: for tests of code that evaluates policies.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <mutex>

#include "tessaly/localauth/la_context.h"

namespace tessaly::localauth {

// Answers policy checks from a table, reports a set biometry type and domain state, and answers evaluations
// with queued outcomes; when none is queued, an evaluation is held until the test answers it or its context
// is invalidated (which answers it with LAErrorAppCancel, as the platform does). Install it with
// installAuthenticator. Thread-safe; replies are made outside its lock.
class ScriptedAuthenticator : public Authenticator, public std::enable_shared_from_this<ScriptedAuthenticator> {
 public:
  struct Outcome {
    bool success = false;
    std::optional<Error> error;
  };

  // Policy checks: `canEvaluate`, and the error reported when it cannot. Unlisted policies cannot be
  // evaluated and report no error.
  void setPolicy(LAPolicy policy, bool canEvaluate, std::optional<Error> error = std::nullopt);
  void setBiometryType(LABiometryType type);
  void setDomainState(std::optional<Bytes> state);
  // Queues the outcome of a future evaluation (first queued, first used).
  void queueOutcome(Outcome outcome);

  // Answers the oldest held evaluation; false when none is held.
  bool answerHeld(Outcome outcome);

  std::size_t heldEvaluations() const;
  std::size_t contextsMade() const;
  std::size_t evaluationsStarted() const;
  std::size_t invalidations() const;
  std::optional<LAPolicy> lastPolicy() const;
  std::optional<std::string> lastReason() const;
  std::optional<std::string> lastFallbackTitle() const;

  std::shared_ptr<ContextBackend> makeContext() override;

 private:
  class Context;
  struct Held {
    const Context* context;
    LAReply reply;
  };

  bool canEvaluate(LAPolicy policy, std::optional<Error>* error);
  void evaluate(const Context* context, LAPolicy policy, const std::string& reason,
                const std::optional<std::string>& fallbackTitle, LAReply reply);
  void invalidate(const Context* context);

  mutable std::mutex mutex_;
  std::map<LAPolicy, Outcome> policies_;
  LABiometryType biometryType_ = LABiometryType::none;
  std::optional<Bytes> domainState_;
  std::deque<Outcome> outcomes_;
  std::deque<Held> held_;
  std::size_t contextsMade_ = 0;
  std::size_t evaluationsStarted_ = 0;
  std::size_t invalidations_ = 0;
  std::optional<LAPolicy> lastPolicy_;
  std::optional<std::string> lastReason_;
  std::optional<std::string> lastFallbackTitle_;
};

}  // namespace tessaly::localauth
