#include "frames.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tessaly::nmhost {
namespace {

std::string frame(std::string_view json) {
  const auto length = static_cast<std::uint32_t>(json.size());
  std::string bytes(reinterpret_cast<const char*>(&length), sizeof length);
  return bytes.append(json);
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Feeds `stream` in pieces of `piece` bytes and collects the frames.
std::vector<std::string> framesOf(const std::string& stream, std::size_t piece, FrameReader& reader, bool* intact) {
  std::vector<std::string> frames;
  *intact = true;
  for (std::size_t at = 0; at < stream.size() && *intact; at += piece) {
    *intact = reader.feed(bytesOf(std::string_view(stream).substr(at, piece)),
                          [&](std::string_view payload) { frames.emplace_back(payload); });
  }
  return frames;
}

// However the pipe cuts the stream, the same frames come out, in order, empty ones included.
TEST(FrameReader, FindsTheSameFramesHoweverTheStreamIsCut) {
  const std::vector<std::string> sent = {R"({"a":1})", "", std::string(70000, 'x'), "{}", R"(["\u00e9"])"};
  std::string stream;
  for (const std::string& json : sent) stream += frame(json);
  for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{4}, std::size_t{5}, std::size_t{4096},
                            stream.size()}) {
    FrameReader reader(1 << 20);
    bool intact = false;
    EXPECT_EQ(framesOf(stream, piece, reader, &intact), sent) << "pieces of " << piece;
    EXPECT_TRUE(intact);
    EXPECT_FALSE(reader.midFrame());
  }
  FrameReader reader;
  bool intact = false;
  framesOf(stream.substr(0, stream.size() - 1), 7, reader, &intact);
  EXPECT_TRUE(reader.midFrame());
}

// A length above the limit stops the reader for good, after handing on every frame before it.
TEST(FrameReader, StopsAtALengthOverTheLimit) {
  const std::string stream = frame(std::string(100, 'a')) + frame(std::string(101, 'b')) + frame("{}");
  for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{64}, stream.size()}) {
    FrameReader reader(100);
    bool intact = true;
    const std::vector<std::string> frames = framesOf(stream, piece, reader, &intact);
    EXPECT_FALSE(intact) << piece;
    EXPECT_EQ(frames, std::vector<std::string>{std::string(100, 'a')}) << piece;
    EXPECT_EQ(reader.declaredLength(), 101u);
    EXPECT_FALSE(reader.feed(bytesOf(frame("{}")), [](std::string_view) { ADD_FAILURE() << "read past a broken frame"; }));
  }
}

TEST(BrowserPayload, PassesOneWholeFrameWithinTheBrowsersLimitAndNothingElse) {
  struct Case {
    std::string body;
    bool passes;
    const char* why;
  };
  const std::string atLimit(kMaxMessageToBrowser, 'x');
  const std::string overLimit(kMaxMessageToBrowser + 1, 'x');
  const std::vector<Case> cases = {
      {agentBody(R"({"ok":true})"), true, ""},
      {agentBody(""), true, ""},
      {agentBody(atLimit), true, ""},
      {agentBody(overLimit), false, "over the browser's limit of 1048576 bytes"},
      {agentBody("{}") + "x", false, "declares 2 bytes of JSON"},
      {agentBody("{}").substr(0, 5), false, "declares 2 bytes of JSON"},
      {"abc", false, "a body of 3 bytes is not a native-messaging frame"},
  };
  for (const Case& c : cases) {
    std::string why;
    const auto payload = browserPayload(bytesOf(c.body), why);
    EXPECT_EQ(payload.has_value(), c.passes) << c.body.size();
    if (payload) {
      EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(payload->data()), payload->size()),
                std::string_view(c.body).substr(4));
    } else {
      EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
  }
}

}  // namespace
}  // namespace tessaly::nmhost
