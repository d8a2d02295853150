// The frame reader on a hand-made stream. The relay tests carry real frames both ways and check the bodies the
// browser would refuse, and the fuzz target checks any stream cut any way; this pins the edges: empty frames,
// the exact limit, and a stream cut inside a header.
#include "frames.h"

#include <gtest/gtest.h>

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

// However the pipe cuts the stream, the same frames come out, in order, empty ones included, up to a length
// above the limit, which stops the reader for good.
TEST(FrameReader, FindsTheSameFramesHoweverTheStreamIsCutUpToALengthOverTheLimit) {
  const std::vector<std::string> sent = {R"({"a":1})", "", std::string(100, 'x'), "{}"};
  std::string stream;
  for (const std::string& json : sent) stream += frame(json);
  const std::string tail = frame(std::string(101, 'b')) + frame("{}");
  for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{5}, stream.size() + tail.size()}) {
    SCOPED_TRACE("pieces of " + std::to_string(piece));
    FrameReader reader(100);
    std::vector<std::string> frames;
    bool intact = true;
    const std::string whole = stream + tail;
    for (std::size_t at = 0; at < whole.size() && intact; at += piece) {
      intact = reader.feed(bytesOf(std::string_view(whole).substr(at, piece)),
                           [&](std::string_view payload) { frames.emplace_back(payload); });
      if (at + piece == stream.size()) {
        EXPECT_FALSE(reader.midFrame());
      } else if (at + piece == stream.size() + 2) {
        EXPECT_TRUE(reader.midFrame());  // inside the next header
      }
    }
    EXPECT_EQ(frames, sent);
    EXPECT_FALSE(intact);
    EXPECT_EQ(reader.declaredLength(), 101u);
    EXPECT_FALSE(reader.feed(bytesOf(frame("{}")), [](std::string_view) { ADD_FAILURE() << "read past the limit"; }));
  }
}

}  // namespace
}  // namespace tessaly::nmhost
