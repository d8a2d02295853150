// The native-messaging envelope: its worked documents, the app-quit frame and framing limits.
#include <gtest/gtest.h>

#include <limits>

#include "tessaly/model/native_messaging.h"
#include "test_support.h"

namespace tessaly::model {
namespace {

TEST(Envelope, AppQuitFrame) {
  auto frame = appQuitNotificationFrame();
  ASSERT_TRUE(frame.ok());
  EXPECT_EQ(frame->substr(0, 4), std::string("\x34\x00\x00\x00", 4));
  EXPECT_EQ(frame->substr(4), R"({"type":"Notification","content":{"type":"AppQuit"}})");
}

TEST(Envelope, FrameLengthIsLittleEndianAndMustFitThirtyTwoBits) {
  auto frame = frameJson(std::string(0x01020304 & 0xFFFF, 'x'));
  ASSERT_TRUE(frame.ok());
  EXPECT_EQ(frame->substr(0, 4), std::string("\x04\x03\x00\x00", 4));
  // Only the length is looked at before refusing, so a view longer than any buffer is safe here.
  char one = 'x';
  std::string_view huge(&one, static_cast<std::size_t>(std::numeric_limits<std::uint32_t>::max()) + 1);
  EXPECT_EQ(frameJson(huge).error(), FrameError::tooLong);
}

}  // namespace
}  // namespace tessaly::model
