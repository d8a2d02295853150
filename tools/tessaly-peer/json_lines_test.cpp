#include "json_lines.h"

#include <gtest/gtest.h>

#include "base64.h"

namespace tessaly::peer {
namespace {

TEST(Base64, RoundTripsEveryByteAndRejectsWhatIsNotPaddedStandardBase64) {
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  for (std::size_t length : {0u, 1u, 2u, 3u, 4u, 255u, 256u}) {
    const std::string bytes = all.substr(0, length);
    const std::string text = encodeBase64(bytes);
    EXPECT_EQ(text.size() % 4, 0u);
    EXPECT_EQ(decodeBase64(text), bytes) << text;
  }
  EXPECT_EQ(encodeBase64("hi"), "aGk=");
  for (const char* bad : {"aGk", "a=Gk", "aGk=aGk=", "aG-_", "aGk=\n", " aGk="}) EXPECT_FALSE(decodeBase64(bad)) << bad;
}

TEST(Commands, ReadEachOpAndExplainWhatIsWrong) {
  std::string problem;
  auto send = parseCommand(R"({"op":"send","id":7,"body":"aGk="})", problem);
  ASSERT_TRUE(send);
  EXPECT_EQ(std::get<SendCommand>(*send).id, 7);
  EXPECT_EQ(std::get<SendCommand>(*send).body, "hi");
  auto echo = parseCommand(R"({"body":"","id":-1,"op":"echo"})", problem);
  ASSERT_TRUE(echo);
  EXPECT_EQ(std::get<EchoCommand>(*echo).id, -1);
  auto respond = parseCommand(R"({"op":"respond","requestId":"AB-1","body":"aGk="})", problem);
  ASSERT_TRUE(respond);
  EXPECT_EQ(std::get<RespondCommand>(*respond).requestId, "AB-1");
  EXPECT_TRUE(std::holds_alternative<BroadcastCommand>(*parseCommand(R"({"op":"broadcast","body":"aGk="})", problem)));
  EXPECT_TRUE(std::holds_alternative<CloseCommand>(*parseCommand(R"({"op":"close"})", problem)));

  EXPECT_FALSE(parseCommand(R"({"op":"send","body":"aGk="})", problem));
  EXPECT_EQ(problem, "no integer \"id\"");
  EXPECT_FALSE(parseCommand(R"({"op":"send","id":1,"body":"not base64"})", problem));
  EXPECT_EQ(problem, "\"body\" is not base64");
  EXPECT_FALSE(parseCommand(R"({"op":"respond","body":"aGk="})", problem));
  EXPECT_FALSE(parseCommand(R"({"op":"launch","body":""})", problem));
  EXPECT_EQ(problem, "unknown op \"launch\"");
  EXPECT_FALSE(parseCommand("[1,2]", problem));
  EXPECT_FALSE(parseCommand(R"({"op":"send","id":1,"body":"aGk=")", problem));
}

TEST(Events, CarryBodiesAsBase64AndEscapeIdentifiers) {
  EXPECT_EQ(replyEvent(3, std::string("\0\xff", 2)), R"({"event":"reply","id":3,"body":"AP8="})");
  EXPECT_EQ(receiveEvent("", "hi"), R"({"event":"receive","requestId":"","body":"aGk="})");
  EXPECT_EQ(receiveEvent("a\"b\\\n\x01", ""), R"({"event":"receive","requestId":"a\"b\\\n\u0001","body":""})");
}

}  // namespace
}  // namespace tessaly::peer
