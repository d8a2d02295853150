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

// The agent still relays for the well-behaved (the desktop app answers with the request's body).
void expectStillRelaying(Peer& extension, const std::string& body) {
  const std::size_t before = extension.replies().size();
  extension.sendToMain(body);
  ASSERT_TRUE(eventually([&] { return extension.replies().size() == before + 1; }));
  EXPECT_EQ(extension.replies().values().back(), body);
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
    expectStillRelaying(*extension, name);
  }
  EXPECT_TRUE(broker.counts().mainAppConnected);
}

// Bytes the agent holds toward a peer that does not read are bounded: past the limit the peer is dropped,
// whether the bytes are broadcasts it gets or answers to its own requests.
TEST(BadPeers, APeerThatStopsReadingIsDroppedAtTheQueueLimit) {
  const xpc::Data large(std::vector<std::uint8_t>(256 * 1024, 0x5a));
  for (const bool asking : {false, true}) {
    SCOPED_TRACE(asking ? "asks for echoes" : "gets broadcasts");
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
    // Far more than the limit plus what the kernel's socket buffers take.
    int written = 0;
    for (std::uint64_t i = 1; i <= 64 && broker.counts().extensions == 2; ++i, ++written) {
      if (asking && !stalled.write(tessaly::testing::messageFrame("echo:reply:", {large}, i))) break;
      if (!asking) {
        app->agent().broadcastToExtensions(large);  // one at a time, so that the reader keeps up
        ASSERT_TRUE(eventually([&] { return reader->received().size() == i; }));
      }
    }
    ASSERT_TRUE(eventually([&] { return broker.counts().extensions == 1; }));
    EXPECT_TRUE(stalled.closedByPeer());
    EXPECT_LT(written, 64);  // the agent stopped reading from it once it was dropped
    expectStillRelaying(*reader, "after the drop");
  }
}

}  // namespace
}  // namespace tessaly::broker::testing
