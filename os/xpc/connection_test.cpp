// End-to-end behaviour of connections inside one process: delivery, order, concurrency, replies, handlers.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <tuple>

#include "test_support.h"

namespace tessaly::xpc::testing {
namespace {

TEST(Connection, EchoReturnsTheSameBytesWhateverTheirSize) {
  TestService service;
  TestClient client(service.started());
  EXPECT_EQ(client.echo(""), "");
  EXPECT_EQ(client.echo("x"), "x");
  // Larger than the read buffer, so it takes the path that reads a frame into storage of its own.
  std::string large(300 * 1024, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 31 + 7);
  EXPECT_EQ(client.echo(large), large);
  EXPECT_EQ(client.echo("after"), "after");
}

TEST(Connection, MessagesAndRepliesOnOneConnectionKeepTheirOrder) {
  TestService service;
  TestClient client(service.started());
  constexpr int kCount = 3000;
  Collected<int> replies;
  for (int i = 0; i < kCount; ++i) {
    client.proxy.send("post:", {bytes(std::to_string(i))});
    if (i % 10 == 0) {
      client.proxy.send("echo:reply:", {bytes(std::to_string(i))},
                        [&replies](const Arguments& reply) { replies.add(std::stoi(textOf(reply))); });
    }
  }
  ASSERT_TRUE(eventually([&] { return service.state().posts.size() == kCount && replies.size() == kCount / 10; }));
  const std::vector<std::string> posts = service.state().posts.values();
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(posts[static_cast<std::size_t>(i)], std::to_string(i));
  const std::vector<int> answered = replies.values();
  EXPECT_TRUE(std::is_sorted(answered.begin(), answered.end()));
  EXPECT_TRUE(client.errors().values().empty());
}

// Replies to sends from several threads at once, each on its own connection, reaching their callers:
// XPCServer.ManyExtensionsAtOnceEachGetTheirOwnAnswersUnderFreshIdentifiers.
TEST(Connection, ConnectionsRunConcurrentlyEachOnItsOwnSerialQueue) {
  struct Observed {
    std::mutex mutex;
    std::condition_variable changed;
    int waiting = 0;
    int inside = 0;      // handlers running now, all connections together
    int mostInside = 0;  // the most that ever ran at once
    std::map<const Connection*, int> insidePerConnection;
    bool overlapOnOneConnection = false;
    int handled = 0;
  };
  auto observed = std::make_shared<Observed>();
  TestService service;
  service.methods().on("post:", [observed](Invocation& call) {
    const Connection* connection = call.connection().get();
    {
      std::unique_lock lock(observed->mutex);
      if (observed->insidePerConnection[connection]++ != 0) observed->overlapOnOneConnection = true;
      observed->mostInside = std::max(observed->mostInside, ++observed->inside);
      if (call.data(0).text() == "wait") {
        // Waits for a second connection to be inside a handler at the same time.
        ++observed->waiting;
        observed->changed.notify_all();
        observed->changed.wait_for(lock, 10s, [&] { return observed->waiting >= 2; });
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(20));
    std::lock_guard lock(observed->mutex);
    --observed->insidePerConnection[connection];
    --observed->inside;
    ++observed->handled;
  });
  ASSERT_EQ(service.resume(), Error::none);

  constexpr int kClients = 8;
  constexpr int kPerClient = 100;
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(std::make_unique<TestClient>(service));
  for (auto& client : clients) client->proxy.send("post:", {bytes("wait")});
  std::vector<std::thread> senders;
  for (int c = 0; c < kClients; ++c) {
    senders.emplace_back([&, c] {
      for (int i = 0; i < kPerClient; ++i) clients[static_cast<std::size_t>(c)]->proxy.send("post:", {bytes("n")});
    });
  }
  for (std::thread& sender : senders) sender.join();
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(observed->mutex);
    return observed->handled == kClients * (kPerClient + 1);
  }));
  std::lock_guard lock(observed->mutex);
  EXPECT_FALSE(observed->overlapOnOneConnection);
  EXPECT_GE(observed->mostInside, 2);
}

TEST(Connection, AReplyRunsAtMostOnceWhoeverCallsItAndWhenever) {
  TestService service;
  Collected<bool> calls;  // whether each call of the reply block sent an answer
  service.methods().on("echo:reply:", [&](Invocation& call) {
    const ReplyBlock copy = call.reply();
    calls.add(call.reply()(bytes("first")));
    calls.add(call.reply()(bytes("second")));
    calls.add(copy(bytes("copy")));
  });
  TestClient client(service.started());
  Collected<std::string> replies;
  const auto record = [&](const Arguments& reply) { replies.add(textOf(reply)); };
  client.proxy.send("echo:reply:", {bytes("q")}, record);
  client.proxy.send("hold:reply:", {bytes("q")}, record);  // a held reply, answered later from another thread
  ASSERT_TRUE(eventually([&] { return service.state().held.size() == 1; }));
  std::thread([&] { EXPECT_TRUE(service.state().held.values()[0](bytes("later"))); }).join();
  ASSERT_TRUE(eventually([&] { return replies.size() == 2; }));
  EXPECT_EQ(calls.values(), (std::vector<bool>{true, false, false}));
  EXPECT_FALSE(service.state().held.values()[0](bytes("again")));
  EXPECT_TRUE(client.echo("sync").has_value());  // anything extra would have arrived before this
  EXPECT_EQ(replies.values(), (std::vector<std::string>{"first", "later"}));
}

TEST(Connection, MessagesSentBeforeTheWelcomeEndTheConnection) {
  TestService service;
  std::atomic<bool> release{false};
  service.state().accept = [&](const std::shared_ptr<Connection>&) {
    eventually([&] { return release.load(); });
    return true;
  };
  ASSERT_EQ(service.resume(), Error::none);
  // A peer that does not wait for the welcome: its messages are on the socket before the delegate decides, so
  // they may come from the program that held this process identifier before the one the delegate checked.
  RawPeer eager(service.listener().socketPath());
  std::string greetingAndMessages = tessaly::testing::helloFrame();
  for (int i = 0; i < 10; ++i) greetingAndMessages += messageFrame("post:", {bytes(std::to_string(i))});
  ASSERT_TRUE(eager.write(greetingAndMessages));
  ASSERT_TRUE(eventually([&] { return service.state().delegateCalls == 1; }));
  std::this_thread::sleep_for(50ms);
  release = true;
  EXPECT_TRUE(eager.closedByPeer());
  ASSERT_TRUE(eventually([&] { return service.connection(0)->invalidationReason() != Error::none; }));
  EXPECT_EQ(service.connection(0)->invalidationReason(), Error::protocol_violation);
  EXPECT_EQ(service.state().posts.size(), 0u);
}

// A connection that cannot be made, or that the service refuses, ends for good with the reason; its messages fail.
TEST(Connection, AConnectionThatCannotBeMadeIsInvalidatedWithItsReason) {
  const std::vector<std::tuple<const char*, std::string, Error>> cases = {
      {"refused by the delegate", "com.tessaly.test", Error::connection_refused},
      {"a name nobody publishes", "com.tessaly.nobody", Error::service_unavailable},
      {"a name that could leave the folder", "../escape", Error::invalid_service_name}};
  for (const auto& [what, name, reason] : cases) {
    SCOPED_TRACE(what);
    TestService service(name);
    std::atomic<int> invoked{0};
    service.methods().on("post:", [&](Invocation&) { ++invoked; });
    service.state().accept = [](const std::shared_ptr<Connection>&) { return false; };
    if (reason != Error::service_unavailable) {
      ASSERT_EQ(service.resume(), reason == Error::connection_refused ? Error::none : reason);
    }
    TestClient client(service);
    client.proxy.send("post:", {bytes("lost")});
    ASSERT_TRUE(eventually([&] { return client.invalidations() == 1; }));
    EXPECT_EQ(client.connection->invalidationReason(), reason);
    ASSERT_TRUE(eventually([&] { return client.errors().size() == 1; }));
    EXPECT_EQ(client.interruptions() + invoked, 0);
  }
}

TEST(Connection, NothingFlowsBeforeResumeOnEitherSide) {
  TestService service;
  service.state().resumeOnAccept = false;
  TestClient client(service.started(), /*resume=*/false);
  client.proxy.send("post:", {bytes("1")});
  client.proxy.send("post:", {bytes("2")});
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(service.state().delegateCalls, 0);  // the client has not even connected
  client.connection->resume();
  ASSERT_TRUE(eventually([&] { return service.state().connections.size() == 1; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(service.state().posts.size(), 0u);  // accepted but not resumed
  service.connection(0)->resume();
  ASSERT_TRUE(eventually([&] { return service.state().posts.size() == 2; }));
  EXPECT_EQ(service.state().posts.values(), (std::vector<std::string>{"1", "2"}));
}

// An unanswered reply fails only when its connection ends; invalidating ends both sides once and for all.
TEST(Connection, InvalidateEndsBothSidesOnceAndForAllAndFailsTheUnansweredReplies) {
  TestService service;
  TestClient client(service.started());
  std::atomic<int> replies{0};
  client.proxy.send("hold:reply:", {bytes("q")}, [&](const Arguments&) { ++replies; });
  ASSERT_TRUE(eventually([&] { return service.state().held.size() == 1; }));
  EXPECT_TRUE(client.echo("still fine").has_value());
  EXPECT_TRUE(client.errors().values().empty());

  client.connection->invalidate();
  client.connection->invalidate();
  ASSERT_TRUE(eventually([&] { return client.invalidations() == 1 && service.state().invalidations == 1; }));
  EXPECT_EQ(client.connection->invalidationReason(), Error::connection_invalid);
  EXPECT_EQ(service.connection(0)->invalidationReason(), Error::peer_disconnected);
  EXPECT_EQ(client.awaitErrors(1), std::vector{Error::connection_invalid});  // the held reply's
  // The service's held reply then goes nowhere, harmlessly; a later message fails and resume does nothing.
  EXPECT_TRUE(service.state().held.values()[0](bytes("too late")));
  client.proxy.send("post:", {bytes("after")});
  EXPECT_EQ(client.awaitErrors(2), std::vector(2, Error::connection_invalid));
  client.connection->resume();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(replies, 0);
  EXPECT_EQ(client.errors().size(), 2u);
  EXPECT_EQ(client.invalidations(), 1);
  EXPECT_EQ(client.interruptions(), 0);
  EXPECT_EQ(service.state().delegateCalls, 1);
}

TEST(Connection, AServiceThatGoesAwayInterruptsAndTheNextMessageReconnects) {
  TestService service;
  TestClient client(service.started());
  std::atomic<int> replies{0};
  client.proxy.send("hold:reply:", {bytes("q")}, [&](const Arguments&) { ++replies; });
  ASSERT_TRUE(eventually([&] { return service.state().held.size() == 1; }));

  service.connection(0)->invalidate();
  ASSERT_TRUE(eventually([&] { return client.interruptions() == 1; }));
  EXPECT_EQ(client.awaitErrors(1), std::vector{Error::connection_interrupted});
  EXPECT_EQ(client.invalidations(), 0);
  EXPECT_EQ(client.connection->invalidationReason(), Error::none);

  EXPECT_EQ(client.echo("again"), "again");
  EXPECT_EQ(service.state().delegateCalls, 2);
  // A reply held from the earlier socket never reaches the new one.
  EXPECT_TRUE(service.state().held.values()[0](bytes("stale")));
  EXPECT_EQ(client.echo("sync"), "sync");
  EXPECT_EQ(replies, 0);
  EXPECT_EQ(client.interruptions(), 1);
}

TEST(Connection, SendsThatDoNotFitTheRemoteInterfaceFailLocally) {
  TestService service;
  std::atomic<int> invoked{0};
  service.methods().on("post:tag:", [&](Invocation&) { ++invoked; });
  TestClient client(service.started());
  client.proxy.send("unknown:", {bytes("x")});
  client.proxy.send("post:tag:", {bytes("x"), bytes("not a string")});
  client.proxy.send("post:tag:", {bytes("x")});
  client.proxy.send("echo:reply:", {bytes("no reply handler")});
  client.proxy.send("post:", {bytes("x")}, [](const Arguments&) {});
  EXPECT_EQ(client.awaitErrors(5), std::vector(5, Error::invalid_arguments));
  client.proxy.send("post:tag:", {bytes("x"), std::string("tag")});
  EXPECT_EQ(client.echo("still up"), "still up");
  EXPECT_EQ(invoked, 1);
}

TEST(Connection, AHandlerThatThrowsCostsOnlyItsMessage) {
  TestService service;
  service.methods().on("post:", [](Invocation&) { throw std::runtime_error("handler failure"); });
  TestClient client(service.started());
  client.proxy.send("post:", {bytes("boom")});
  EXPECT_EQ(client.echo("alive"), "alive");
  EXPECT_EQ(client.invalidations(), 0);
}

}  // namespace
}  // namespace tessaly::xpc::testing
