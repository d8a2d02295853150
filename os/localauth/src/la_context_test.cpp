#include <gtest/gtest.h>

#include <vector>

#include "tessaly/localauth/la_context.h"
#include "tessaly/localauth/scripted_authenticator.h"

namespace tessaly::localauth {
namespace {

struct Reply {
  int calls = 0;
  bool success = true;
  std::optional<Error> error;
  LAReply callback() {
    return [this](bool s, std::optional<Error> e) {
      ++calls;
      success = s;
      error = std::move(e);
    };
  }
};

// Restores the system authenticator after each test.
class LocalAuthentication : public ::testing::Test {
 protected:
  void TearDown() override { installAuthenticator(nullptr); }
};

TEST_F(LocalAuthentication, OnThisSystemNothingCanBeEvaluatedAndEachPolicySaysWhy) {
  LAContext context;
  const std::vector<std::pair<LAPolicy, std::int64_t>> expected = {
      {LAPolicyDeviceOwnerAuthenticationWithBiometrics, LAErrorBiometryNotAvailable},
      {LAPolicyDeviceOwnerAuthentication, LAErrorPasscodeNotSet},
      {LAPolicyDeviceOwnerAuthenticationWithWatch, LAErrorWatchNotAvailable},
      {LAPolicyDeviceOwnerAuthenticationWithBiometricsOrWatch, LAErrorBiometryNotAvailable},
      {99, LAErrorInvalidContext}};
  for (const auto& [policy, code] : expected) {
    std::optional<Error> error;
    EXPECT_FALSE(context.canEvaluatePolicy(policy, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, LAErrorDomain);
    EXPECT_EQ(error->code, code) << "policy " << policy;
    Reply reply;
    context.evaluatePolicy(policy, "Unlock", reply.callback());
    EXPECT_EQ(reply.calls, 1);
    EXPECT_EQ(reply.error->code, code);
  }
  EXPECT_EQ(context.biometryType(), LABiometryType::none);
  EXPECT_FALSE(context.evaluatedPolicyDomainState());
}

TEST_F(LocalAuthentication, AnInstalledAuthenticatorServesContextsMadeAfterIt) {
  LAContext before;
  auto scripted = std::make_shared<ScriptedAuthenticator>();
  scripted->setPolicy(LAPolicyDeviceOwnerAuthenticationWithBiometrics, true);
  scripted->setBiometryType(LABiometryType::touchID);
  scripted->setDomainState(Bytes{7});
  EXPECT_EQ(installAuthenticator(scripted), systemAuthenticator());

  LAContext after;
  EXPECT_TRUE(after.canEvaluatePolicy(LAPolicyDeviceOwnerAuthenticationWithBiometrics));
  EXPECT_EQ(after.biometryType(), LABiometryType::touchID);
  EXPECT_EQ(after.evaluatedPolicyDomainState(), Bytes{7});
  EXPECT_FALSE(before.canEvaluatePolicy(LAPolicyDeviceOwnerAuthenticationWithBiometrics));
  EXPECT_EQ(scripted->contextsMade(), 1u);
}

TEST_F(LocalAuthentication, InvalidatingCancelsAHeldEvaluationAndEndsTheContext) {
  auto scripted = std::make_shared<ScriptedAuthenticator>();
  scripted->setPolicy(LAPolicyDeviceOwnerAuthenticationWithBiometrics, true);
  installAuthenticator(scripted);
  LAContext context;
  LAContext bystander;
  Reply held;
  Reply other;
  context.evaluatePolicy(LAPolicyDeviceOwnerAuthenticationWithBiometrics, "Unlock", held.callback());
  bystander.evaluatePolicy(LAPolicyDeviceOwnerAuthenticationWithBiometrics, "Unlock", other.callback());
  EXPECT_EQ(scripted->heldEvaluations(), 2u);

  context.invalidate();
  EXPECT_EQ(held.calls, 1);
  EXPECT_EQ(held.error->code, LAErrorAppCancel);
  EXPECT_EQ(other.calls, 0) << "only the invalidated context's evaluation ends";

  std::optional<Error> error;
  EXPECT_FALSE(context.canEvaluatePolicy(LAPolicyDeviceOwnerAuthenticationWithBiometrics, &error));
  EXPECT_EQ(error->code, LAErrorInvalidContext);
  Reply late;
  context.evaluatePolicy(LAPolicyDeviceOwnerAuthenticationWithBiometrics, "Unlock", late.callback());
  EXPECT_EQ(late.error->code, LAErrorInvalidContext);

  EXPECT_TRUE(scripted->answerHeld({false, makeLAError(LAErrorUserCancel, "cancelled")}));
  EXPECT_EQ(other.error->code, LAErrorUserCancel);
  EXPECT_FALSE(scripted->answerHeld({true, std::nullopt}));
}

// A backend that answers twice: the context must pass on only the first answer.
class Stuttering : public ContextBackend, public Authenticator {
 public:
  bool canEvaluatePolicy(LAPolicy, std::optional<Error>*) override { return true; }
  void evaluatePolicy(LAPolicy, const std::string&, const std::optional<std::string>&, LAReply reply) override {
    reply(true, std::nullopt);
    reply(false, makeLAError(LAErrorSystemCancel, "again"));
  }
  LABiometryType biometryType() override { return LABiometryType::faceID; }
  std::optional<Bytes> evaluatedPolicyDomainState() override { return std::nullopt; }
  void invalidate() override {}
  std::shared_ptr<ContextBackend> makeContext() override { return std::shared_ptr<ContextBackend>(self.lock(), this); }
  std::weak_ptr<Stuttering> self;
};

TEST_F(LocalAuthentication, EachEvaluationRepliesExactlyOnce) {
  auto stuttering = std::make_shared<Stuttering>();
  stuttering->self = stuttering;
  installAuthenticator(stuttering);
  LAContext context;
  Reply reply;
  context.evaluatePolicy(LAPolicyDeviceOwnerAuthenticationWithBiometrics, "Unlock", reply.callback());
  EXPECT_EQ(reply.calls, 1);
  EXPECT_TRUE(reply.success);
}

}  // namespace
}  // namespace tessaly::localauth
