// The native-messaging envelope: its worked documents, the app-quit frame and framing limits.
#include <gtest/gtest.h>

#include <limits>

#include "tessaly/model/native_messaging.h"
#include "test_support.h"

namespace tessaly::model {
namespace {

using testing::reencode;

TEST(Envelope, AppQuitFrameIsFiftySixBytes) {
  auto frame = appQuitNotificationFrame();
  ASSERT_TRUE(frame.ok());
  const std::string json = R"({"type":"Notification","content":{"type":"AppQuit"}})";
  ASSERT_EQ(json.size(), 52u);
  EXPECT_EQ(*frame, std::string("\x34\x00\x00\x00", 4) + json);
  EXPECT_EQ(frame->size(), 56u);
  auto back = decode<CoreNmhResponse>(frame->substr(4));
  ASSERT_TRUE(back.ok());
  ASSERT_EQ(back->which(), CoreNmhResponse::Case::notification);
  EXPECT_EQ(back->get<CoreNmhResponse::Case::notification>().which(), CoreNmNotification::Case::appQuit);
}

TEST(Envelope, FrameLengthIsLittleEndianAndMustFitThirtyTwoBits) {
  auto frame = frameJson(std::string(0x01020304 & 0xFFFF, 'x'));
  ASSERT_TRUE(frame.ok());
  EXPECT_EQ(frame->substr(0, 4), std::string("\x04\x03\x00\x00", 4));
  // Only the length is looked at before refusing, so a view longer than any buffer is safe here.
  char one = 'x';
  std::string_view huge(&one, static_cast<std::size_t>(std::numeric_limits<std::uint32_t>::max()) + 1);
  auto tooLong = frameJson(huge);
  ASSERT_FALSE(tooLong.ok());
  EXPECT_EQ(tooLong.error(), FrameError::tooLong);
}

TEST(Envelope, WorkedDocumentsReadAndWriteBackUnchanged) {
  for (const char* json : {
           R"({"callbackId":12,"invocation":{"type":"NmRequestAccounts","content":{"version":1,"userRequested":true}}})",
           R"({"callbackId":3,"invocation":{"type":"NmPromptToAddAccount","content":{"components":{},"accountUuid":"u"}}})",
           R"({"callbackId":4,"invocation":{"type":"NmShowWarning","content":"incompatibleSandbox"}})",
       }) {
    EXPECT_EQ(reencode<CoreNmhRequest>(json), json);
  }
  for (const char* json : {
           R"({"type":"Success","content":{"callbackId":12,"response":{"type":"NmRequestAccounts","content":{"accounts":[{"type":"Locked","content":{"accountUuid":"a","accountName":"n","userVersion":3,"email":"e","server":"s","signInAddress":"i","userUuid":"u"}}]}}}})",
           R"({"type":"Success","content":{"callbackId":13,"response":{"type":"NmLockState","content":{"lockState":"Unlocked"}}}})",
           R"({"type":"Failure","content":{"callbackId":14,"response":{"type":"BannedInvocation"}}})",
           R"({"type":"BrowserSupport","content":{"callbackId":15,"response":"MainAppNotRunning"}})",
           R"({"type":"Notification","content":{"type":"AccountRemoved","content":{"accountUuid":"a"}}})",
           R"({"type":"Failure","content":{"callbackId":3,"response":{"type":"UnableToProcessRequest","content":"x"}}})",
       }) {
    EXPECT_EQ(reencode<CoreNmhResponse>(json), json);
  }
}

TEST(Envelope, AccountsAndKeys) {
  // A locked entry ignores members beyond the account details; an unlocked one carries its key.
  const char* locked =
      R"({"type":"Locked","content":{"accountUuid":"a","accountName":"n","userVersion":3,"email":"e","server":"s",)"
      R"("signInAddress":"i","userUuid":"u","secretKey":"ignored"}})";
  EXPECT_EQ(reencode<CoreNmAccount>(locked).find("secretKey"), std::string::npos);
  const char* unlocked =
      R"({"type":"Unlocked","content":{"details":{"accountUuid":"a","accountName":"n","userVersion":3,"email":"e",)"
      R"("server":"s","signInAddress":"i","userUuid":"u"},"secretKey":"k","muk":{"kty":"oct","kid":"mp","alg":"A256GCM",)"
      R"("k":"AAAA","ext":true,"key_ops":["encrypt","decrypt"]},"srpX":"x"}})";
  EXPECT_EQ(reencode<CoreNmAccount>(unlocked), unlocked);
  EXPECT_EQ(reencode<CoreJwk>(R"({"kid":"only"})"), R"({"kid":"only"})");
}

}  // namespace
}  // namespace tessaly::model
