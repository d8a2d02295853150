// What protects a service from peers that hold its resources: connections that never greet, and bytes held in
// buffers (frames sent in part, replies a peer does not read), over the whole process.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace tessaly::xpc::testing {
namespace {

// Beyond the cap, each new connection pushes out the oldest one that has sent nothing, long before its time
// to greet is up; one that is greeting (it has sent part of its hello) is left to finish.
TEST(Limits, BeyondTheCapOfConnectionsThatHaveNotGreetedTheOldestSilentOnesAreDropped) {
  Limits limits;
  limits.maxUngreetedConnections = 8;
  limits.handshakeTimeout = std::chrono::minutes(1);
  TestService service("com.tessaly.test", limits);
  ASSERT_EQ(service.resume(), Error::none);
  const std::string hello = wire::OutgoingFrame::greeting(wire::FrameKind::hello).flatten();
  RawPeer greeting(service.listener().socketPath());
  ASSERT_TRUE(greeting.write(hello.substr(0, 4)));
  std::vector<std::unique_ptr<RawPeer>> silent;
  for (int i = 0; i < 20; ++i) silent.push_back(std::make_unique<RawPeer>(service.listener().socketPath()));

  EXPECT_TRUE(silent.front()->closedByPeer()) << "the oldest silent connection is still there";
  int dropped = 0;
  for (const auto& peer : silent) dropped += peer->closedByPeer(std::chrono::milliseconds(100)) ? 1 : 0;
  EXPECT_GE(dropped, 11);
  EXPECT_LE(dropped, 13);
  EXPECT_FALSE(silent.back()->closedByPeer(std::chrono::milliseconds(100)));
  // The one that was greeting finishes its hello and is served.
  ASSERT_TRUE(greeting.write(hello.substr(4)));
  TestClient client(service);
  EXPECT_EQ(client.echo("served"), "served");
  EXPECT_FALSE(greeting.closedByPeer(std::chrono::milliseconds(100)));
}

class BufferBudgetTest : public ::testing::Test {
 protected:
  void SetUp() override { setBufferBudget(std::size_t{4} << 20); }
  void TearDown() override { setBufferBudget(kDefaultBufferBudget); }
};

// Over the process's budget, the connection that holds the most goes; the others keep their connections and
// what they had sent, and the bytes held come back to the budget.
TEST_F(BufferBudgetTest, OverTheBudgetTheLargestHolderIsDroppedAndTheRestAreUntouched) {
  TestService service;
  TestClient bystander(service.started());
  ASSERT_EQ(bystander.echo("before"), "before");

  // Two peers send large frames in part: 3 MiB, then 1.5 MiB more elsewhere, takes the total over 4 MiB.
  RawPeer large(service.listener().socketPath());
  RawPeer smaller(service.listener().socketPath());
  ASSERT_TRUE(large.handshake() && smaller.handshake());
  const std::string largeFrame = messageFrame("post:", {Data::fromText(std::string(16 << 20, 'a'))});
  const std::string smallerFrame = messageFrame("post:", {Data::fromText(std::string(2 << 20, 'b'))});
  ASSERT_TRUE(large.write(largeFrame.substr(0, 3 << 20)));
  ASSERT_TRUE(eventually([] { return bufferedBytes() >= (std::size_t{3} << 20); }));
  ASSERT_TRUE(smaller.write(smallerFrame.substr(0, 3 << 19)));
  EXPECT_TRUE(large.closedByPeer());
  ASSERT_TRUE(smaller.write(smallerFrame.substr(3 << 19)));
  ASSERT_TRUE(eventually([&] { return service.state().posts.size() == 1; }));
  EXPECT_EQ(service.state().posts.values()[0].size(), std::size_t{2} << 20);

  // A peer that asks for echoes of 1 MiB and never reads them: once the kernel's socket buffers are full (up
  // to twice net.core.wmem_max), the answers wait here toward it, until it goes.
  RawPeer slowReader(service.listener().socketPath());
  ASSERT_TRUE(slowReader.handshake());
  const Data body = Data::fromText(std::string(1 << 20, 'c'));
  for (std::uint64_t token = 1; token <= 24; ++token) {
    if (!slowReader.write(messageFrame("echo:reply:", {body}, token))) break;  // dropped already
  }
  ASSERT_TRUE(eventually([&] { return service.state().invalidations >= 2; }));
  EXPECT_TRUE(slowReader.closedByPeer());

  EXPECT_EQ(bystander.echo("after"), "after");
  EXPECT_EQ(bystander.connection->invalidationReason(), Error::none);
  EXPECT_FALSE(smaller.closedByPeer(std::chrono::milliseconds(100)));
  EXPECT_TRUE(eventually([] { return bufferedBytes() < (std::size_t{256} << 10); })) << bufferedBytes();
}

}  // namespace
}  // namespace tessaly::xpc::testing
