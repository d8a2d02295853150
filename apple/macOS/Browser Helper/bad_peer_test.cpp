// Peers that misbehave: whatever one sends, or fails to read, costs only its own connection.
#include <gtest/gtest.h>

#include <cstring>

#include "broker_test_support.h"
#include "tessaly/xpc/wire.h"

namespace tessaly::broker::testing {
namespace {

using tessaly::testing::messageFrame;

std::string frameHeader(std::uint32_t length, std::uint8_t kind) {
  std::string header(8, '\0');
  std::memcpy(header.data(), &length, sizeof length);  // little-endian, as on the machines we build for
  header[4] = static_cast<char>(kind);
  return header;
}

// The agent still relays for the well-behaved.
void expectStillRelaying(Peer& app, Peer& extension, const std::string& body) {
  const std::size_t before = extension.replies().size();
  extension.sendToMain(body);
  ASSERT_TRUE(eventually([&] { return extension.replies().size() == before + 1; }));
  EXPECT_EQ(extension.replies().values().back(), body);
  (void)app;
}

TEST(BadPeers, MalformedOrUnexpectedFramesDropOnlyTheirSender) {
  BrokerFixture broker;
  broker.server->start();
  auto app = broker.connectApp(/*answerEcho=*/true);
  auto extension = broker.connectExtension();
  ASSERT_TRUE(app && extension);

  using enum xpc::ArgumentClass;
  const xpc::Data body = xpc::Data::fromText("body");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"garbage", std::string("\xde\xad\xbe\xef not a frame at all, just bytes \x01\x02\x03\x04\x05\x06\x07\x08")},
      {"huge length", frameHeader(0xFFFFFFF0u, 3)},
      {"unknown kind", frameHeader(0, 9)},
      {"unknown selector", messageFrame("openURL:", {body})},
      {"string where data is declared", messageFrame("broadcastToExtensions:", {std::string("text")})},
      {"identifier missing", messageFrame("sendResponse:for:", {body})},
      {"reply block missing", messageFrame("sendToMain:reply:", {body})},
      {"reply block not declared", messageFrame("broadcastToExtensions:", {body}, 7)},
      {"reply to nothing", xpc::wire::OutgoingFrame::reply(42, {body}).flatten()},
      {"second greeting", xpc::wire::OutgoingFrame::greeting(xpc::wire::FrameKind::hello).flatten()},
      {"message then garbage", messageFrame("echo:reply:", {body}, 1) + "\xff\xff\xff\xff\xff\xff\xff\xff"},
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    RawPeer raw(broker.socketPath());
    ASSERT_TRUE(raw.handshake());
    ASSERT_TRUE(eventually([&] { return broker.counts().extensions == 2; }));
    ASSERT_TRUE(raw.write(bytes));
    EXPECT_TRUE(raw.closedByPeer());
    ASSERT_TRUE(eventually([&] { return broker.counts().extensions == 1; }));
    expectStillRelaying(*app, *extension, name);
  }
  EXPECT_TRUE(broker.counts().mainAppConnected);
}

TEST(BadPeers, APeerThatNeverGreetsIsDroppedBeforeItIsConsidered) {
  xpc::Limits limits;
  limits.handshakeTimeout = std::chrono::milliseconds(200);
  BrokerFixture broker(limits);
  broker.server->start();
  StandardErrorCapture log;
  RawPeer silent(broker.socketPath());
  ASSERT_TRUE(silent.connected());
  EXPECT_TRUE(silent.closedByPeer());
  EXPECT_EQ(occurrences(log.text(), "Receiving connection request."), 0u);
  EXPECT_EQ(broker.counts().extensions, 0u);
}

// Bytes the agent holds toward a peer that does not read are bounded: past the limit the peer is dropped.
TEST(BadPeers, AnExtensionThatStopsReadingIsDroppedAtTheQueueLimit) {
  xpc::Limits limits;
  limits.maxQueuedBytes = std::size_t{1} << 20;
  BrokerFixture broker(limits);
  broker.server->start();
  auto app = broker.connectApp(/*answerEcho=*/true);
  auto reader = broker.connectExtension();
  ASSERT_TRUE(app && reader);
  RawPeer stalled(broker.socketPath());
  ASSERT_TRUE(stalled.handshake());
  ASSERT_TRUE(eventually([&] { return broker.counts().extensions == 2; }));

  // Far more than the limit plus what the kernel's socket buffers take; one at a time, so the reader keeps up.
  const xpc::Data large(std::vector<std::uint8_t>(256 * 1024, 0x5a));
  constexpr int kBroadcasts = 48;
  for (int i = 0; i < kBroadcasts; ++i) {
    app->agent().broadcastToExtensions(large);
    ASSERT_TRUE(eventually([&] { return reader->received().size() == static_cast<std::size_t>(i + 1); }));
  }
  ASSERT_TRUE(eventually([&] { return broker.counts().extensions == 1; }));
  EXPECT_TRUE(stalled.closedByPeer());
  expectStillRelaying(*app, *reader, "after the drop");
}

TEST(BadPeers, APeerThatAsksButNeverReadsTheAnswersIsDropped) {
  xpc::Limits limits;
  limits.maxQueuedBytes = std::size_t{1} << 20;
  BrokerFixture broker(limits);
  broker.server->start();
  auto app = broker.connectApp(/*answerEcho=*/true);
  auto extension = broker.connectExtension();
  ASSERT_TRUE(app && extension);
  RawPeer flooding(broker.socketPath());
  ASSERT_TRUE(flooding.handshake());
  ASSERT_TRUE(eventually([&] { return broker.counts().extensions == 2; }));

  const xpc::Data large(std::vector<std::uint8_t>(256 * 1024, 0x33));
  int written = 0;
  for (std::uint64_t token = 1; token <= 64; ++token) {
    if (!flooding.write(messageFrame("echo:reply:", {large}, token))) break;
    ++written;
  }
  ASSERT_TRUE(eventually([&] { return broker.counts().extensions == 1; }));
  EXPECT_LT(written, 64);  // the agent stopped reading from it once it was dropped
  expectStillRelaying(*app, *extension, "after the flood");
}

}  // namespace
}  // namespace tessaly::broker::testing
