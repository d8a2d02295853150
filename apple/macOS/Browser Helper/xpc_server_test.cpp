// The server on real sockets with peers in threads of this process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <regex>
#include <set>
#include <thread>

#include "broker_test_support.h"
#include "tessaly/model/native_messaging.h"

namespace tessaly::broker::testing {
namespace {

const std::regex kRequestIdentifier("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");

std::string appQuitBody() { return *model::appQuitNotificationFrame(); }

// The lines of `text` that the broker writes, without those of the IPC layer and without the priority prefix.
std::string brokerLines(const std::string& text) {
  static const std::set<std::string> kTexts = {
      "Starting listener", "Corrupt bundle, no CFBundleIdentifier present", "Resuming the listener",
      "Stopping listener", "Connection with main app received error", "Desktop app <-> browser helper disconnected",
      "Desktop app <-> browser helper connected", "Extension <-> browser helper disconnected",
      "Extension <-> browser helper connected", "Receiving connection request.",
      "Connection was not from a process signed by us. Refusing connection.",
      "Received an echo request. Things are up and running!",
      "Received a message to be dispatched to main, but no desktop app is connected. Waking up the main app.",
      "Sending message to Desktop app", "Sending message to extensions",
      "Received response from Desktop app for a previous message", "Failed to encode app quit notification"};
  std::string kept;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.size() >= 3 && line[0] == '<' && line[2] == '>') line.erase(0, 3);
    if (kTexts.count(line)) kept += line + "\n";
  }
  return kept;
}

TEST(XPCServer, RelaysRequestsAndRoutesEachAnswerToItsSender) {
  BrokerFixture broker;
  broker.server->start();
  auto app = broker.connectApp();
  auto first = broker.connectExtension();
  auto second = broker.connectExtension();
  ASSERT_TRUE(app && first && second);
  EXPECT_EQ(broker.counts().extensions, 2u);
  EXPECT_TRUE(broker.counts().mainAppConnected);

  first->sendToMain("from first");
  second->sendToMain("from second");
  ASSERT_TRUE(eventually([&] { return app->received().size() == 2; }));
  std::set<std::string> identifiers;
  for (const Delivery& request : app->received().values()) {
    EXPECT_TRUE(std::regex_match(request.requestId, kRequestIdentifier)) << request.requestId;
    identifiers.insert(request.requestId);
    app->agent().sendResponse(xpc::Data::fromText("answer to " + request.body), request.requestId);
  }
  EXPECT_EQ(identifiers.size(), 2u);
  ASSERT_TRUE(eventually([&] { return first->replies().size() == 1 && second->replies().size() == 1; }));
  EXPECT_EQ(first->replies().values()[0], "answer to from first");
  EXPECT_EQ(second->replies().values()[0], "answer to from second");
  EXPECT_EQ(broker.counts().pendingRequests, 0u);
  EXPECT_TRUE(first->received().values().empty());
}

TEST(XPCServer, ManyExtensionsAtOnceEachGetTheirOwnAnswers) {
  BrokerFixture broker;
  broker.server->start();
  auto app = broker.connectApp(/*answerEcho=*/true);
  ASSERT_TRUE(app);
  constexpr int kExtensions = 12;
  constexpr int kRequests = 25;
  std::vector<std::unique_ptr<Peer>> extensions;
  for (int e = 0; e < kExtensions; ++e) {
    extensions.push_back(broker.connectExtension());
    ASSERT_TRUE(extensions.back());
  }
  std::vector<std::thread> senders;
  for (int e = 0; e < kExtensions; ++e) {
    senders.emplace_back([&, e] {
      for (int r = 0; r < kRequests; ++r) extensions[e]->sendToMain(std::to_string(e) + "/" + std::to_string(r));
    });
  }
  for (std::thread& sender : senders) sender.join();
  for (int e = 0; e < kExtensions; ++e) {
    ASSERT_TRUE(eventually([&] { return extensions[e]->replies().size() == kRequests; })) << e;
    std::vector<std::string> replies = extensions[e]->replies().values();
    std::set<std::string> distinct(replies.begin(), replies.end());
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kRequests));
    for (const std::string& reply : replies) EXPECT_EQ(reply.substr(0, reply.find('/')), std::to_string(e));
  }
  EXPECT_EQ(broker.counts().pendingRequests, 0u);
}

TEST(XPCServer, RequestsWithoutDesktopAppWakeItOnceEachAndReachItInOrder) {
  BrokerFixture broker;
  broker.server->start();
  StandardErrorCapture log;
  auto extension = broker.connectExtension();
  ASSERT_TRUE(extension);
  extension->sendToMain("one");
  extension->sendToMain("two");
  ASSERT_TRUE(eventually([&] { return broker.openedURLs().size() == 2; }));
  EXPECT_EQ(broker.openedURLs(), (std::vector<std::string>{"tessaly://activate", "tessaly://activate"}));
  EXPECT_EQ(broker.counts().requestsAwaitingMainApp, 2u);
  EXPECT_EQ(occurrences(log.text(), "Received a message to be dispatched to main, but no desktop app is connected. "
                                    "Waking up the main app.\n"),
            2u);

  auto app = broker.connectApp();
  ASSERT_TRUE(app);
  ASSERT_TRUE(eventually([&] { return app->received().size() == 2; }));
  const std::vector<Delivery> requests = app->received().values();
  EXPECT_EQ(requests[0].body, "one");
  EXPECT_EQ(requests[1].body, "two");
  EXPECT_NE(requests[0].requestId, requests[1].requestId);
  EXPECT_TRUE(std::regex_match(requests[1].requestId, kRequestIdentifier));
  EXPECT_EQ(broker.counts().requestsAwaitingMainApp, 0u);

  app->agent().sendResponse(xpc::Data::fromText("second answer"), requests[1].requestId);
  app->agent().sendResponse(xpc::Data::fromText("first answer"), requests[0].requestId);
  ASSERT_TRUE(eventually([&] { return extension->replies().size() == 2; }));
  EXPECT_EQ(extension->replies().values(), (std::vector<std::string>{"second answer", "first answer"}));
  EXPECT_EQ(broker.openedURLs().size(), 2u);  // nothing opened once the app is there
}

TEST(XPCServer, AnswersForUnknownOrAnsweredIdentifiersAreIgnored) {
  BrokerFixture broker;
  broker.server->start();
  auto app = broker.connectApp();
  auto extension = broker.connectExtension();
  ASSERT_TRUE(app && extension);
  extension->sendToMain("question");
  ASSERT_TRUE(eventually([&] { return app->received().size() == 1; }));
  const std::string id = app->received().values()[0].requestId;
  app->agent().sendResponse(xpc::Data::fromText("stray"), "00000000-0000-0000-0000-000000000000");
  app->agent().sendResponse(xpc::Data::fromText("first"), id);
  app->agent().sendResponse(xpc::Data::fromText("second"), id);
  app->agent().sendResponse(xpc::Data::fromText("lower case"), [&] {
    std::string lower = id;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
  }());
  ASSERT_TRUE(app->echo());  // every answer above has been handled once this comes back
  ASSERT_TRUE(extension->echo());
  EXPECT_EQ(extension->replies().values(), std::vector<std::string>{"first"});
  EXPECT_EQ(broker.counts().pendingRequests, 0u);
}

TEST(XPCServer, BroadcastsReachEveryExtensionAndNotTheApp) {
  BrokerFixture broker;
  broker.server->start();
  StandardErrorCapture log;
  auto app = broker.connectApp();
  ASSERT_TRUE(app);

  app->agent().broadcastToExtensions(xpc::Data::fromText("to nobody"));
  ASSERT_TRUE(app->echo());
  EXPECT_EQ(occurrences(log.text(), "Sending message to extensions\n"), 1u) << log.text();

  auto only = broker.connectExtension();
  ASSERT_TRUE(only);
  app->agent().broadcastToExtensions(xpc::Data::fromText("to one"));
  ASSERT_TRUE(eventually([&] { return only->received().size() == 1; }));
  EXPECT_EQ(only->received().values()[0].body, "to one");
  EXPECT_EQ(only->received().values()[0].requestId, "");

  std::vector<std::unique_ptr<Peer>> more;
  for (int i = 0; i < 5; ++i) more.push_back(broker.connectExtension());
  // Any peer may broadcast; an extension that does reaches itself too.
  more[2]->agent().broadcastToExtensions(xpc::Data::fromText("from an extension"));
  for (Peer* peer : {only.get(), more[0].get(), more[1].get(), more[2].get(), more[3].get(), more[4].get()}) {
    ASSERT_TRUE(eventually([&] { return peer->received().size() == (peer == only.get() ? 2u : 1u); }));
    EXPECT_EQ(peer->received().values().back().body, "from an extension");
    EXPECT_EQ(peer->received().values().back().requestId, "");
  }
  ASSERT_TRUE(app->echo());
  EXPECT_TRUE(app->received().values().empty());
}

TEST(XPCServer, DesktopAppLeavingSendsAppQuitToEveryExtensionAndNoReply) {
  BrokerFixture broker;
  broker.server->start();
  auto app = broker.connectApp();
  auto asking = broker.connectExtension();
  auto other = broker.connectExtension();
  ASSERT_TRUE(app && asking && other);
  asking->sendToMain("never answered");
  asking->sendToMain("never answered either");
  ASSERT_TRUE(eventually([&] { return app->received().size() == 2; }));

  app.reset();  // the desktop app goes away with two requests outstanding
  for (Peer* peer : {asking.get(), other.get()}) {
    ASSERT_TRUE(eventually([&] { return peer->received().size() == 1; }));
    const Delivery notice = peer->received().values()[0];
    EXPECT_EQ(notice.body.size(), 56u);
    EXPECT_EQ(notice.body, appQuitBody());
    EXPECT_EQ(notice.requestId, "");
  }
  ASSERT_TRUE(asking->echo());
  EXPECT_TRUE(asking->replies().values().empty());
  EXPECT_FALSE(broker.counts().mainAppConnected);
  EXPECT_EQ(broker.counts().pendingRequests, 2u);  // kept until stop; never called

  // Without an app the next request waits and wakes it.
  asking->sendToMain("later");
  ASSERT_TRUE(eventually([&] { return broker.openedURLs().size() == 1; }));
  EXPECT_EQ(broker.counts().requestsAwaitingMainApp, 1u);
}

TEST(XPCServer, SecondDesktopAppTakesTheSlotAndTheFirstLeavingClearsIt) {
  BrokerFixture broker;
  broker.server->start();
  auto first = broker.connectApp();
  auto second = broker.connectApp();
  auto extension = broker.connectExtension();
  ASSERT_TRUE(first && second && extension);

  extension->sendToMain("for the newer app");
  ASSERT_TRUE(eventually([&] { return second->received().size() == 1; }));
  ASSERT_TRUE(first->echo());
  EXPECT_TRUE(first->received().values().empty());
  EXPECT_EQ(second->invalidations() + second->interruptions(), 0);  // the earlier one stays open as well

  // The earlier app's end clears the slot although it holds the newer app.
  first.reset();
  ASSERT_TRUE(eventually([&] { return extension->received().size() == 1; }));
  EXPECT_EQ(extension->received().values()[0].body, appQuitBody());
  EXPECT_FALSE(broker.counts().mainAppConnected);
  extension->sendToMain("queued although an app is connected");
  ASSERT_TRUE(eventually([&] { return broker.openedURLs().size() == 1; }));
  EXPECT_EQ(broker.counts().requestsAwaitingMainApp, 1u);
  ASSERT_TRUE(second->echo());
  EXPECT_EQ(second->received().size(), 1u);
}

TEST(XPCServer, StopTearsEverythingDownAndKeepsWaitingRequests) {
  BrokerFixture broker;
  StandardErrorCapture log;
  broker.server->stop();  // without a start
  EXPECT_EQ(occurrences(log.text(), "Stopping listener\n"), 1u);
  EXPECT_FALSE(broker.counts().listening);

  broker.server->start();
  EXPECT_TRUE(broker.counts().listening);
  auto extension = broker.connectExtension();
  ASSERT_TRUE(extension);
  extension->sendToMain("waits for an app");
  ASSERT_TRUE(eventually([&] { return broker.openedURLs().size() == 1; }));
  EXPECT_EQ(broker.counts().requestsAwaitingMainApp, 1u);
  broker.server->stop();
  EXPECT_EQ(broker.counts().requestsAwaitingMainApp, 1u);
  EXPECT_EQ(broker.counts().extensions, 0u);
  EXPECT_FALSE(std::filesystem::exists(broker.socketPath()));
  ASSERT_TRUE(eventually([&] { return extension->interruptions() == 1; }));

  // Published again, the server hands the request queued before the stop to the next desktop app.
  broker.server->start();
  auto app = broker.connectApp();
  auto asking = broker.connectExtension();
  ASSERT_TRUE(app && asking) << log.text();
  ASSERT_TRUE(eventually([&] { return app->received().size() == 1; }));
  EXPECT_EQ(app->received().values()[0].body, "waits for an app");
  asking->sendToMain("pending at stop");
  ASSERT_TRUE(eventually([&] { return app->received().size() == 2; }));
  EXPECT_EQ(broker.counts().pendingRequests, 2u);

  broker.server->stop();
  const XPCServer::Counts counts = broker.counts();
  EXPECT_FALSE(counts.listening);
  EXPECT_FALSE(counts.mainAppConnected);
  EXPECT_EQ(counts.extensions, 0u);
  EXPECT_EQ(counts.pendingRequests, 0u);
  for (Peer* peer : {app.get(), asking.get()}) ASSERT_TRUE(eventually([&] { return peer->interruptions() == 1; }));
  // The app's disconnect steps still broadcast the app-quit notification, which reaches nobody.
  ASSERT_TRUE(eventually([&] { return occurrences(log.text(), "Desktop app <-> browser helper disconnected\n") == 1; }));
  EXPECT_TRUE(extension->replies().values().empty());
  EXPECT_TRUE(asking->replies().values().empty());
}

TEST(XPCServer, RefusedPeerLeavesNoState) {
  BrokerFixture broker;
  broker.server->start();
  StandardErrorCapture log;
  broker.refuseEveryone();
  Peer refused(broker.directory());
  refused.sendToMain("never relayed");
  ASSERT_TRUE(eventually([&] { return refused.invalidations() == 1; }));
  EXPECT_EQ(refused.connection->invalidationReason(), xpc::Error::connection_refused);
  const XPCServer::Counts counts = broker.counts();
  EXPECT_FALSE(counts.mainAppConnected);
  EXPECT_EQ(counts.extensions, 0u);
  EXPECT_EQ(counts.pendingRequests + counts.requestsAwaitingMainApp, 0u);
  EXPECT_EQ(brokerLines(log.text()),
            "Receiving connection request.\n"
            "Connection was not from a process signed by us. Refusing connection.\n");
  EXPECT_TRUE(broker.openedURLs().empty());
}

TEST(XPCServer, StartWithoutBundleIdentifierPublishesNothing) {
  TemporaryDirectory directory;
  XPCServer::Dependencies dependencies;
  dependencies.mainBundleIdentifier = [] { return std::optional<std::string>(); };
  dependencies.serviceOptions.directory = directory.path();
  const auto server = XPCServer::create(std::move(dependencies));
  StandardErrorCapture log;
  server->start();
  EXPECT_EQ(brokerLines(log.text()), "Starting listener\nCorrupt bundle, no CFBundleIdentifier present\n");
  EXPECT_FALSE(server->counts().listening);
  EXPECT_TRUE(std::filesystem::is_empty(directory.path()));
  server->stop();
}

TEST(XPCServer, WritesTheLogLinesOfARequestInOrder) {
  BrokerFixture broker;
  StandardErrorCapture log;
  broker.server->start();
  auto app = broker.connectApp(/*answerEcho=*/true);
  ASSERT_TRUE(app);
  auto extension = broker.connectExtension();
  ASSERT_TRUE(extension);
  extension->sendToMain("ping");
  ASSERT_TRUE(eventually([&] { return extension->replies().size() == 1; }));
  extension.reset();
  ASSERT_TRUE(eventually([&] { return broker.counts().extensions == 0; }));
  EXPECT_EQ(brokerLines(log.text()),
            "Starting listener\n"
            "Resuming the listener\n"
            "Receiving connection request.\n"
            "Desktop app <-> browser helper connected\n"
            "Received an echo request. Things are up and running!\n"
            "Receiving connection request.\n"
            "Extension <-> browser helper connected\n"
            "Received an echo request. Things are up and running!\n"
            "Sending message to Desktop app\n"
            "Received response from Desktop app for a previous message\n"
            "Extension <-> browser helper disconnected\n");
}

// A desktop app whose connection the IPC layer refuses after the broker has flushed the waiting requests to it
// (its process ended while it was being checked) never had them: they wait again, in order, for the next one.
TEST(XPCServer, FlushedRequestsGoBackToTheQueueWhenTheDesktopAppIsRefusedAfterwards) {
  TemporaryDirectory directory;
  auto dying = std::make_shared<std::atomic<pid_t>>(0);
  auto died = std::make_shared<std::atomic<bool>>(false);
  auto appNext = std::make_shared<std::atomic<bool>>(false);
  auto opened = std::make_shared<Collected<std::string>>();
  XPCServer::Dependencies dependencies;
  dependencies.validateRemoteProcess = [dying, died](pid_t pid) {
    if (pid == dying->load()) {  // it ends while it is being checked
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      died->store(true);
    }
    return true;
  };
  dependencies.isApplicationWithBundleIdentifier = [dying, appNext](pid_t pid) {
    return pid == dying->load() || appNext->load();
  };
  dependencies.mainBundleIdentifier = [] { return std::optional<std::string>(kServiceName); };
  dependencies.openURL = [opened](const std::string& url) { opened->add(url); };
  dependencies.serviceOptions.directory = directory.path();
  auto server = XPCServer::create(std::move(dependencies));
  server->start();

  auto extension = std::make_unique<Peer>(directory.path());
  ASSERT_TRUE(extension->echo());
  for (const char* body : {"one", "two", "three"}) extension->sendToMain(body);
  ASSERT_TRUE(eventually([&] { return server->counts().requestsAwaitingMainApp == 3; }));

  // The dying app: a process that connects and greets once the test knows its identifier.
  const std::string hello = tessaly::testing::helloFrame();
  const std::string path = directory.path().native() + "/" + kServiceName;
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    char byte;
    if (::read(go[0], &byte, 1) != 1) ::_exit(1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(1);
    if (::write(fd, hello.data(), hello.size()) != static_cast<ssize_t>(hello.size())) ::_exit(1);
    for (;;) ::pause();
  }
  dying->store(child);
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  ::close(go[0]);
  ::close(go[1]);
  ASSERT_TRUE(eventually([&] { return died->load(); }));
  ASSERT_TRUE(eventually([&] {
    const XPCServer::Counts counts = server->counts();
    return !counts.mainAppConnected && counts.requestsAwaitingMainApp == 3 && counts.pendingRequests == 0;
  })) << server->counts().requestsAwaitingMainApp << " waiting, " << server->counts().pendingRequests << " pending";

  appNext->store(true);
  Peer app(directory.path(), /*answerEcho=*/true);
  ASSERT_TRUE(app.echo());
  ASSERT_TRUE(eventually([&] { return extension->replies().size() == 3; }));
  EXPECT_EQ(extension->replies().values(), (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(opened->size(), 3u);  // one wake per request, none for the return to the queue
  server->stop();
  extension.reset();
  eventually([&] { return server.use_count() == 1; });
}

}  // namespace
}  // namespace tessaly::broker::testing
