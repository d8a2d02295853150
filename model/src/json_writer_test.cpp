// Writing values: member order, optional members, unions, numbers, escapes and unencodable values.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <unordered_set>

#include "tessaly/model/core_types.h"
#include "tessaly/model/json.h"
#include "test_support.h"

namespace tessaly::model {
namespace {

TEST(Write, WorkedExamples) {
  EXPECT_EQ(encodeToJsonText(CoreNmRequestAccountsRequest{2, std::nullopt}), R"({"version":2})");
  EXPECT_EQ(encodeToJsonText(CoreNmRequestAccountsRequest{2, true}), R"({"version":2,"userRequested":true})");
  EXPECT_EQ(encodeToJsonText(CoreNmhResponseBrowserHelperInner{{0x7B, 0x7D}, CoreBrowserHelperResponse::mainAppNotRunning}),
            R"({"incoming_request":[123,125],"response":"MainAppNotRunning"})");
  EXPECT_EQ(encodeToJsonText(CoreNmInvocation::nmRequestAccounts({2, std::nullopt})),
            R"({"type":"NmRequestAccounts","content":{"version":2}})");
  EXPECT_EQ(encodeToJsonText(CoreNmInvocation::nmShowUnlock()), R"({"type":"NmShowUnlock"})");
  EXPECT_EQ(encodeToJsonText(CoreNmNotification::lockStateChanged(CoreLockState::unlocked)),
            R"({"type":"LockStateChanged","content":"Unlocked"})");
  EXPECT_EQ(encodeToJsonText(CoreNmhAppResponseFailure::unableToProcessRequest("no")),
            R"({"type":"UnableToProcessRequest","content":"no"})");
  EXPECT_EQ(encodeToJsonText(CoreNmhRequest{7, CoreNmInvocation::nmLockState()}),
            R"({"callbackId":7,"invocation":{"type":"NmLockState"}})");
  EXPECT_EQ(encodeToJsonText(CoreEnclaveResult::success({1, 2})), R"({"type":"Success","content":[1,2]})");
  EXPECT_EQ(encodeToJsonText(CoreKeychainError::failedWithKeychainErrorCode(-25300)),
            R"({"type":"FailedWithKeychainErrorCode","content":-25300})");
  EXPECT_EQ(encodeToJsonText(CoreKeychainSearchResult::success({})), R"({"type":"Success","content":[]})");
  EXPECT_EQ(encodeToJsonText(CoreBiometricStatus{CoreBiometricPolicy::biometricsOrWatch, CoreBiometryMethod::touchId,
                                                 CoreBiometryAvailability::available}),
            R"({"current_policy":"BiometricsOrWatch","current_method":"TouchId","current_availability":"Available"})");
  EXPECT_EQ(encodeToJsonText(CoreBiometricAuthResponse::userFallBack), R"("UserFallBack")");
}

TEST(Write, WireStringsOfSharedTypes) {
  EXPECT_EQ(encodeToJsonText(CoreCategory::login()), R"({"type":"001"})");
  EXPECT_EQ(encodeToJsonText(CoreCategory::placeholder()), R"({"type":"0$$"})");
  EXPECT_EQ(encodeToJsonText(CoreCategory::unknown("xyz")), R"({"type":"Unknown","content":"xyz"})");
  EXPECT_EQ(encodeToJsonText(CoreCreateItemType::creditCard), R"("credit-card")");
  EXPECT_EQ(encodeToJsonText(CoreCreateItemType::apiKey), R"("api-key")");
  EXPECT_EQ(encodeToJsonText(CoreTsBindingInvocation::clearFillSession()), R"({"name":"clear-fill-session"})");
  EXPECT_EQ(encodeToJsonText(CoreDesktopAppState::connected(CoreDesktopAppLockState::unlocking)),
            R"({"type":"connected","lockState":"Unlocking"})");
}

TEST(Write, StringsAreEscaped) {
  CoreNmShouldPromptToAddAccountRequest request{"q\"b\\s/\n\t\x01 caf\xc3\xa9"};
  std::string json = encodeToJsonText(request);
  EXPECT_EQ(json, "{\"accountUuid\":\"q\\\"b\\\\s/\\n\\t\\u0001 caf\xc3\xa9\"}");
  EXPECT_EQ(decode<CoreNmShouldPromptToAddAccountRequest>(json)->accountUuid, request.accountUuid);
}

// Strings are written eight bytes at a time when nothing in them needs an escape; every byte that does must be
// caught wherever it falls in or around such a block.
TEST(Write, EscapesAreFoundAtEveryPositionAndLength) {
  auto reference = [](std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
      static constexpr char kHex[] = "0123456789abcdef";
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
          if (c < 0x20) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
          } else {
            out += static_cast<char>(c);
          }
      }
    }
    return out + "\"";
  };
  // Neighbours of the special bytes too: 0x1F/0x20, 0x21-0x23 around the quote, 0x5B-0x5D around the
  // backslash, and bytes with the high bit set.
  const unsigned char specials[] = {0x00, 0x01, 0x08, 0x0A, 0x1F, 0x20, 0x21, 0x22, 0x23, 0x5B, 0x5C, 0x5D, 0x7F, 0x80, 0xA2, 0xDC, 0xFF};
  for (std::size_t length = 0; length <= 20; ++length) {
    for (std::size_t at = 0; at < length; ++at) {
      for (unsigned char special : specials) {
        std::string text(length, 'a');
        text[at] = static_cast<char>(special);
        std::string out;
        appendJsonString(out, text);
        ASSERT_EQ(out, reference(text)) << "length " << length << ", byte " << int{special} << " at " << at;
      }
    }
  }
  std::string out = "kept:";
  appendJsonString(out, std::string(5000, '\x01'));
  EXPECT_EQ(out, "kept:" + reference(std::string(5000, '\x01')));
}

TEST(Write, FloatsAreShortestAndNonFiniteFails) {
  CoreGeneratePasswordDetails details{"p", 0.1f, 100.0f};
  EXPECT_EQ(encodeToJsonText(details), R"({"password":"p","entropy":0.1,"strengthPercent":100})");
  for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                    -std::numeric_limits<float>::infinity()}) {
    details.strengthPercent = bad;
    EXPECT_EQ(encodeToJsonText(details), "");
    auto result = encode(details);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(testing::pathJson(result.error().codingPath), R"(["strengthPercent"])");
  }
  // Negative zero keeps its sign through a round trip.
  details.strengthPercent = -0.0f;
  auto negativeZero = decode<CoreGeneratePasswordDetails>(encodeToJsonText(details));
  ASSERT_TRUE(negativeZero.ok());
  EXPECT_TRUE(std::signbit(negativeZero->strengthPercent));
  details.strengthPercent = std::numeric_limits<float>::quiet_NaN();
  // A failed write leaves what the buffer held before.
  std::string out = "prefix";
  EXPECT_FALSE(encodeValue(typeInfo<CoreGeneratePasswordDetails>(), &details, out));
  EXPECT_EQ(out, "prefix");
}

TEST(Write, NonFiniteFloatDeepInsideAUnionNamesItsPath) {
  CoreEditItemSaveValueConcealedText text{"id", "t", std::numeric_limits<float>::infinity()};
  auto result = encode(CoreEditItemSaveValue::concealedText(text));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(testing::pathJson(result.error().codingPath), R"(["content","entropy"])");
}

TEST(Values, UnionsKeepCasesWithTheSamePayloadApart) {
  auto edit = CoreNmInvocation::nmEditItem({"a", "v", "i"});
  auto view = CoreNmInvocation::nmViewItem({"a", "v", "i"});
  EXPECT_EQ(edit.which(), CoreNmInvocation::Case::nmEditItem);
  EXPECT_EQ(view.which(), CoreNmInvocation::Case::nmViewItem);
  EXPECT_EQ(view.get<CoreNmInvocation::Case::nmViewItem>().itemUuid, "i");
  EXPECT_EQ(view.getIf<CoreNmInvocation::Case::nmEditItem>(), nullptr);
  EXPECT_THROW((void)view.get<CoreNmInvocation::Case::nmEditItem>(), BadUnionAccess);
  EXPECT_EQ(encodeToJsonText(view), R"({"type":"NmViewItem","content":{"accountUuid":"a","vaultUuid":"v","itemUuid":"i"}})");

  // Copies and moves carry the case and the payload.
  CoreNmInvocation copy = view;
  CoreNmInvocation moved = std::move(edit);
  copy = moved;
  EXPECT_EQ(copy.which(), CoreNmInvocation::Case::nmEditItem);
  moved = CoreNmInvocation::lock();
  EXPECT_EQ(encodeToJsonText(moved), R"({"type":"Lock"})");
  EXPECT_EQ(copy.get<CoreNmInvocation::Case::nmEditItem>().accountUuid, "a");
}

TEST(Values, CategoryEqualityAndEnumerationHashing) {
  EXPECT_EQ(CoreCategory::login(), CoreCategory::login());
  EXPECT_NE(CoreCategory::login(), CoreCategory::password());
  EXPECT_EQ(CoreCategory::unknown("x"), CoreCategory::unknown("x"));
  EXPECT_NE(CoreCategory::unknown("x"), CoreCategory::unknown("y"));
  std::unordered_set<CoreKeyOp> ops{CoreKeyOp::sign, CoreKeyOp::verify, CoreKeyOp::sign};
  EXPECT_EQ(ops.size(), 2u);
  EXPECT_EQ(std::hash<CoreKeyOp>{}(CoreKeyOp::wrapKey), std::hash<std::string_view>{}("wrapKey"));
  EXPECT_EQ(wireString(CoreKeyAlgorithm::rsaoaep256), "RSA-OAEP-256");
}

}  // namespace
}  // namespace tessaly::model
