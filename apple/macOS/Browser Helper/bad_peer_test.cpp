// Peers that misbehave: whatever one sends, or fails to read, costs only its own connection.
#include <gtest/gtest.h>

#include "broker_test_support.h"

namespace tessaly::broker::testing {
namespace {

// The agent still relays for the well-behaved (the desktop app answers with the request's body).
void expectStillRelaying(Peer& extension, const std::string& body) {
  const std::size_t before = extension.replies().size();
  extension.sendToMain(body);
  ASSERT_TRUE(eventually([&] { return extension.replies().size() == before + 1; }));
  EXPECT_EQ(extension.replies().values().back(), body);
}

// Calls that do not fit the agent's interface. Frames that break the wire format (garbage, a huge length, an
// unknown kind, a reply to nothing, a second greeting) are the IPC layer's to refuse, proved in
// Violation.EachKindInvalidatesOnlyTheOffendingConnection.
TEST(BadPeers, CallsThatDoNotFitTheAgentsInterfaceDropOnlyTheirSender) {
  BrokerFixture broker;
  auto app = broker.connectApp(/*answerEcho=*/true);
  auto extension = broker.connectExtension();
  ASSERT_TRUE(app && extension);

  const xpc::Data body = xpc::Data::fromText("body");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"unknown selector", messageFrame("openURL:", {body})},
      {"string where data is declared", messageFrame("broadcastToExtensions:", {std::string("text")})},
      {"identifier missing", messageFrame("sendResponse:for:", {body})},
      {"reply block missing", messageFrame("sendToMain:reply:", {body})},
      {"reply block not declared", messageFrame("broadcastToExtensions:", {body}, 7)},
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
    BrokerFixture broker(/*start=*/true, limits);
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
