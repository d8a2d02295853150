// The wire format on its own: what encodes decodes again, and what is malformed is refused.
#include "tessaly/xpc/wire.h"

#include <gtest/gtest.h>

namespace tessaly::xpc::wire {
namespace {

Data payloadOf(const std::string& frame) { return Data::fromText(std::string_view(frame).substr(kHeaderSize)); }

std::string le32(std::uint32_t v) {
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
  return out;
}

TEST(Wire, MessagesAndRepliesDecodeToWhatWasEncoded) {
  const Data body = Data::fromText(std::string(1000, 'b'));
  const Arguments values = {body, std::string("ID-\xC3\xA9"), Data{}};
  const std::string frame = OutgoingFrame::message(42, "sendResponse:for:reply:", values).flatten();
  FrameHeader header;
  ASSERT_TRUE(parseHeader(reinterpret_cast<const std::uint8_t*>(frame.data()), 1 << 20, header).ok());
  EXPECT_EQ(header.kind, FrameKind::message);
  EXPECT_EQ(header.length, messagePayloadSize("sendResponse:for:reply:", values, true));

  IncomingMessage message;
  ASSERT_TRUE(decodeMessage(payloadOf(frame), message).ok());
  EXPECT_EQ(message.replyToken, 42u);
  EXPECT_EQ(message.selector, "sendResponse:for:reply:");
  EXPECT_EQ(message.classes, (std::vector<ArgumentClass>{ArgumentClass::data, ArgumentClass::string,
                                                         ArgumentClass::data, ArgumentClass::reply}));
  EXPECT_EQ(message.values, values);

  IncomingReply reply;
  ASSERT_TRUE(decodeReply(payloadOf(OutgoingFrame::reply(7, {body}).flatten()), reply).ok());
  EXPECT_EQ(reply.token, 7u);
  EXPECT_EQ(reply.values, Arguments{body});
}

TEST(Wire, WritingAFrameInPiecesSendsExactlyItsBytes) {
  OutgoingFrame frame = OutgoingFrame::message(3, "post:tag:", {Data::fromText("0123456789"), std::string("t")});
  const std::string whole = frame.flatten();
  std::string written;
  for (std::size_t step = 1; !frame.finished(); step = step % 5 + 1) {
    iovec vectors[2];  // fewer than the frame has pieces, as when a batch is full
    ASSERT_GT(frame.gather(vectors, 2), 0u);
    const std::size_t take = std::min(step, vectors[0].iov_len);
    written.append(static_cast<const char*>(vectors[0].iov_base), take);
    EXPECT_EQ(frame.consume(take), take);
  }
  EXPECT_EQ(written, whole);
  EXPECT_EQ(frame.consume(10), 0u);
}

TEST(Wire, MalformedPayloadsAreRefused) {
  const std::string noToken(8, '\0');
  const std::string token = std::string("\x01", 1) + std::string(7, '\0');
  const std::string selector = std::string("\x05\x00", 2) + "post:";
  const std::vector<std::pair<const char*, std::string>> messages = {
      {"empty", ""},
      {"empty selector", noToken + std::string("\x00\x00\x00", 3)},
      {"selector with a space", noToken + std::string("\x05\x00", 2) + "po t:" + std::string(1, '\0')},
      {"too many arguments", noToken + selector + "\x11"},
      {"descriptors beyond the payload", noToken + selector + "\x01\x01"},
      {"unknown class", noToken + selector + "\x01\x04" + le32(0)},
      {"reply block with a length", token + selector + "\x01\x03" + le32(1) + "x"},
      {"argument shorter than declared", noToken + selector + "\x01\x01" + le32(5) + "abc"},
      {"reply block without a token", noToken + selector + "\x01\x03" + le32(0)},
      {"token without a reply block", token + selector + "\x01\x01" + le32(0)},
      {"two reply blocks", token + selector + "\x02\x03" + le32(0) + "\x03" + le32(0)},
      {"reply block before an argument", token + selector + "\x02\x03" + le32(0) + "\x01" + le32(1) + "x"},
  };
  for (const auto& [name, payload] : messages) {
    IncomingMessage message;
    EXPECT_EQ(decodeMessage(Data::fromText(payload), message).error, Error::malformed_frame) << name;
  }
  const std::vector<std::pair<const char*, std::string>> replies = {
      {"zero token", noToken + std::string(1, '\0')},
      {"reply block inside a reply", token + "\x01\x03" + le32(0)},
  };
  for (const auto& [name, payload] : replies) {
    IncomingReply reply;
    EXPECT_EQ(decodeReply(Data::fromText(payload), reply).error, Error::malformed_frame) << name;
  }
}

}  // namespace
}  // namespace tessaly::xpc::wire
