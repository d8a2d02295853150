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

namespace tessaly::broker::testing {
namespace {

namespace fn = log_lines::function;

// Request identifiers are random version-4 UUIDs in upper case.
const std::regex kRequestIdentifier("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");

TEST(XPCServer, ManyExtensionsAtOnceEachGetTheirOwnAnswersUnderFreshIdentifiers) {
  BrokerFixture broker;
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
    EXPECT_EQ(std::set<std::string>(replies.begin(), replies.end()).size(), static_cast<std::size_t>(kRequests));
    for (const std::string& reply : replies) EXPECT_EQ(reply.substr(0, reply.find('/')), std::to_string(e));
    EXPECT_TRUE(extensions[e]->received().values().empty());
  }
  std::set<std::string> identifiers;
  for (const Delivery& request : app->received().values()) {
    EXPECT_TRUE(std::regex_match(request.requestId, kRequestIdentifier)) << request.requestId;
    identifiers.insert(request.requestId);
  }
  EXPECT_EQ(identifiers.size(), static_cast<std::size_t>(kExtensions * kRequests));
  EXPECT_EQ(broker.counts().pendingRequests, 0u);
}

TEST(XPCServer, RequestsWithoutDesktopAppWakeItOnceEachAndReachItInOrder) {
  BrokerFixture broker;
  auto extension = broker.connectExtension();
  ASSERT_TRUE(extension);
  extension->sendToMain("one");
  extension->sendToMain("two");
  ASSERT_TRUE(eventually([&] { return broker.openedURLs().size() == 2; }));
  EXPECT_EQ(broker.openedURLs(), (std::vector<std::string>{"tessaly://activate", "tessaly://activate"}));
  EXPECT_EQ(broker.counts().requestsAwaitingMainApp, 2u);

  auto app = broker.connectApp();
  ASSERT_TRUE(app);
  ASSERT_TRUE(eventually([&] { return app->received().size() == 2; }));
  const std::vector<Delivery> requests = app->received().values();
  EXPECT_EQ(requests[0].body, "one");
  EXPECT_EQ(requests[1].body, "two");
  EXPECT_NE(requests[0].requestId, requests[1].requestId);
  EXPECT_EQ(broker.counts().requestsAwaitingMainApp, 0u);

  app->agent().sendResponse(xpc::Data::fromText("second answer"), requests[1].requestId);
  app->agent().sendResponse(xpc::Data::fromText("first answer"), requests[0].requestId);
  ASSERT_TRUE(eventually([&] { return extension->replies().size() == 2; }));
  EXPECT_EQ(extension->replies().values(), (std::vector<std::string>{"second answer", "first answer"}));
  EXPECT_EQ(broker.openedURLs().size(), 2u);  // nothing opened once the app is there
}

TEST(XPCServer, AnswersForUnknownOrAnsweredIdentifiersAreIgnored) {
  BrokerFixture broker;
  auto app = broker.connectApp();
  auto extension = broker.connectExtension();
  ASSERT_TRUE(app && extension);
  extension->sendToMain("question");
  ASSERT_TRUE(eventually([&] { return app->received().size() == 1; }));
  const std::string id = app->received().values()[0].requestId;
  std::string lowerCase = id;
  for (char& c : lowerCase) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const std::string& answered : {std::string("00000000-0000-0000-0000-000000000000"), id, id, lowerCase}) {
    app->agent().sendResponse(xpc::Data::fromText(answered == id ? "first" : "stray"), answered);
  }
  ASSERT_TRUE(app->echo());  // every answer above has been handled once this comes back
  ASSERT_TRUE(extension->echo());
  EXPECT_EQ(extension->replies().values(), std::vector<std::string>{"first"});
  EXPECT_EQ(broker.counts().pendingRequests, 0u);
}

TEST(XPCServer, BroadcastsReachEveryExtensionAndNotTheApp) {
  BrokerFixture broker;
  auto app = broker.connectApp();
  ASSERT_TRUE(app);
  app->agent().broadcastToExtensions(xpc::Data::fromText("to nobody"));
  ASSERT_TRUE(app->echo());  // handled before any extension connects
  std::vector<std::unique_ptr<Peer>> extensions;
  for (int i = 0; i < 5; ++i) extensions.push_back(broker.connectExtension());
  // Any peer may broadcast; an extension that does reaches itself too.
  extensions[2]->agent().broadcastToExtensions(xpc::Data::fromText("from an extension"));
  for (const auto& peer : extensions) {
    ASSERT_TRUE(eventually([&] { return peer->received().size() == 1; }));
    EXPECT_EQ(peer->received().values(), (std::vector<Delivery>{{"from an extension", ""}}));
  }
  ASSERT_TRUE(app->echo());
  EXPECT_TRUE(app->received().values().empty());
}

// The newer desktop app takes the slot; the earlier one's end clears it all the same. Each end sends every
// extension the app-quit notification, and no reply for the requests the app left unanswered.
TEST(XPCServer, ADesktopAppLeavingClearsTheSlotAndSendsAppQuitToEveryExtension) {
  BrokerFixture broker;
  auto first = broker.connectApp();
  auto second = broker.connectApp();
  auto asking = broker.connectExtension();
  auto other = broker.connectExtension();
  ASSERT_TRUE(first && second && asking && other);
  asking->sendToMain("for the newer app");
  ASSERT_TRUE(eventually([&] { return second->received().size() == 1; }));
  ASSERT_TRUE(first->echo());
  EXPECT_TRUE(first->received().values().empty());

  first.reset();
  for (Peer* peer : {asking.get(), other.get()}) {
    ASSERT_TRUE(eventually([&] { return peer->received().size() == 1; }));
    EXPECT_EQ(peer->received().values(), (std::vector<Delivery>{{*model::appQuitNotificationFrame(), ""}}));
  }
  EXPECT_FALSE(broker.counts().mainAppConnected);
  asking->sendToMain("queued although an app is connected");
  ASSERT_TRUE(eventually([&] { return broker.openedURLs().size() == 1; }));
  EXPECT_EQ(broker.counts().requestsAwaitingMainApp, 1u);
  ASSERT_TRUE(second->echo());
  EXPECT_EQ(second->received().size(), 1u);

  second.reset();  // with its request unanswered
  ASSERT_TRUE(eventually([&] { return other->received().size() == 2; }));
  ASSERT_TRUE(asking->echo());
  EXPECT_TRUE(asking->replies().values().empty());
  EXPECT_EQ(broker.counts().pendingRequests, 1u);  // kept until stop; never called
}

TEST(XPCServer, StopTearsEverythingDownAndKeepsWaitingRequests) {
  BrokerFixture broker(/*start=*/false);
  CoreLoggingCapture log;
  broker.server->stop();  // without a start
  EXPECT_EQ(logged(log, log_lines::stoppingListener).size(), 1u);
  broker.server->start();
  EXPECT_TRUE(broker.counts().listening);
  auto extension = broker.connectExtension();
  ASSERT_TRUE(extension);
  extension->sendToMain("waits for an app");
  ASSERT_TRUE(eventually([&] { return broker.openedURLs().size() == 1; }));
  broker.server->stop();
  EXPECT_EQ(broker.counts().requestsAwaitingMainApp, 1u);
  EXPECT_EQ(broker.counts().extensions, 0u);
  EXPECT_FALSE(std::filesystem::exists(broker.socketPath()));
  ASSERT_TRUE(eventually([&] { return extension->interruptions() == 1; }));

  // Published again, the server hands the request queued before the stop to the next desktop app.
  broker.server->start();
  auto app = broker.connectApp();
  auto asking = broker.connectExtension();
  ASSERT_TRUE(app && asking);
  ASSERT_TRUE(eventually([&] { return app->received().size() == 1; }));
  EXPECT_EQ(app->received().values()[0].body, "waits for an app");
  asking->sendToMain("pending at stop");
  ASSERT_TRUE(eventually([&] { return app->received().size() == 2; }));
  EXPECT_EQ(broker.counts().pendingRequests, 2u);

  broker.server->stop();
  const XPCServer::Counts counts = broker.counts();
  EXPECT_FALSE(counts.listening || counts.mainAppConnected);
  EXPECT_EQ(counts.extensions + counts.pendingRequests, 0u);
  for (Peer* peer : {app.get(), asking.get()}) ASSERT_TRUE(eventually([&] { return peer->interruptions() == 1; }));
  // The app's disconnect steps still broadcast the app-quit notification, which reaches nobody.
  ASSERT_TRUE(eventually([&] { return logged(log, log_lines::desktopAppDisconnected).size() == 1; }));
  EXPECT_TRUE(extension->replies().values().empty());
  EXPECT_TRUE(asking->replies().values().empty());
}

TEST(XPCServer, RefusedPeerLeavesNoState) {
  BrokerFixture broker;
  CoreLoggingCapture log;
  broker.refuseEveryone();
  Peer refused(broker.directory());
  refused.sendToMain("never relayed");
  ASSERT_TRUE(eventually([&] { return refused.invalidations() == 1; }));
  EXPECT_EQ(refused.connection->invalidationReason(), xpc::Error::connection_refused);
  const XPCServer::Counts counts = broker.counts();
  EXPECT_FALSE(counts.mainAppConnected);
  EXPECT_EQ(counts.extensions + counts.pendingRequests + counts.requestsAwaitingMainApp, 0u);
  expectBrokerLog(log, {{log_lines::receivingConnection, fn::shouldAcceptNewConnection},
                        {log_lines::refusingUnsigned, fn::shouldAcceptNewConnection}});
  EXPECT_TRUE(broker.openedURLs().empty());
}

TEST(XPCServer, StartWithoutBundleIdentifierPublishesNothing) {
  TemporaryDirectory directory;
  XPCServer::Dependencies dependencies;
  dependencies.mainBundleIdentifier = [] { return std::optional<std::string>(); };
  dependencies.serviceOptions.directory = directory.path();
  const auto server = XPCServer::create(std::move(dependencies));
  CoreLoggingCapture log;
  server->start();
  expectBrokerLog(log, {{log_lines::startingListener, fn::start}, {log_lines::corruptBundle, fn::start}});
  EXPECT_FALSE(server->counts().listening);
  EXPECT_TRUE(std::filesystem::is_empty(directory.path()));
}

// Every line the broker writes in the life of a connection, each with the function string of the operation
// that writes it and its level.
TEST(XPCServer, LogsEachStepWithItsFunctionAndLevel) {
  BrokerFixture broker(/*start=*/false);
  CoreLoggingCapture log;
  broker.server->start();
  auto app = broker.connectApp(/*answerEcho=*/true);
  auto extension = broker.connectExtension();
  ASSERT_TRUE(app && extension);
  extension->sendToMain("ping");
  ASSERT_TRUE(eventually([&] { return extension->replies().size() == 1; }));
  app->agent().broadcastToExtensions(xpc::Data::fromText("news"));
  ASSERT_TRUE(eventually([&] { return extension->received().size() == 1; }));
  extension.reset();
  ASSERT_TRUE(eventually([&] { return broker.counts().extensions == 0; }));
  broker.failAppQuitNotification();
  app.reset();
  ASSERT_TRUE(eventually([&] { return !broker.counts().mainAppConnected; }));
  auto waiting = broker.connectExtension();
  ASSERT_TRUE(waiting);
  waiting->sendToMain("for a later app");
  ASSERT_TRUE(eventually([&] { return broker.openedURLs().size() == 1; }));
  broker.server->stop();
  expectBrokerLog(log, {{log_lines::startingListener, fn::start},
                        {log_lines::resumingListener, fn::start},
                        {log_lines::receivingConnection, fn::shouldAcceptNewConnection},
                        {log_lines::desktopAppConnected, fn::handleConnectionFromMainApp},
                        {log_lines::echoReceived, fn::echo},
                        {log_lines::receivingConnection, fn::shouldAcceptNewConnection},
                        {log_lines::extensionConnected, fn::handleConnectionFromExtension},
                        {log_lines::echoReceived, fn::echo},
                        {log_lines::sendingToDesktopApp, fn::sendToMain},
                        {log_lines::responseReceived, fn::sendResponse},
                        {log_lines::sendingToExtensions, fn::broadcastToExtensions},
                        {log_lines::extensionDisconnected, fn::handleConnectionFromExtension},
                        {log_lines::desktopAppDisconnected, fn::handleConnectionFromMainApp},
                        {log_lines::appQuitEncodingFailed, fn::notifyExtensionsOfMainAppDisconnection},
                        {log_lines::receivingConnection, fn::shouldAcceptNewConnection},
                        {log_lines::extensionConnected, fn::handleConnectionFromExtension},
                        {log_lines::echoReceived, fn::echo},
                        {log_lines::wakingMainApp, fn::sendToMain},
                        {log_lines::stoppingListener, fn::stop},
                        {log_lines::extensionDisconnected, fn::handleConnectionFromExtension}});
  EXPECT_TRUE(waiting->received().values().empty()) << "an app-quit notification that could not be encoded went out";
}

// A desktop app whose connection the IPC layer refuses after the broker has flushed the waiting requests to it
// (its process ended while it was being checked) never had them: they wait again, in order, for the next one.
TEST(XPCServer, FlushedRequestsGoBackToTheQueueWhenTheDesktopAppIsRefusedAfterwards) {
  BrokerFixture broker(/*start=*/false);
  auto dying = std::make_shared<std::atomic<pid_t>>(0);
  broker.server->setValidator([dying](pid_t pid) {
    if (pid != ::getpid()) {  // the dying app ends while it is being checked
      eventually([&] { return dying->load() == pid; });
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      dying->store(-1);
    }
    return true;
  });
  CoreLoggingCapture log;
  broker.server->start();
  auto extension = broker.connectExtension();
  ASSERT_TRUE(extension);
  for (const char* body : {"one", "two", "three"}) extension->sendToMain(body);
  ASSERT_TRUE(eventually([&] { return broker.counts().requestsAwaitingMainApp == 3; }));

  // The dying app: a process that connects and greets; only system calls run in it after fork.
  const std::string hello = tessaly::testing::helloFrame();
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  broker.socketPath().copy(address.sun_path, sizeof address.sun_path - 1);
  broker.setNextIsApp(true);
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(1);
    if (::write(fd, hello.data(), hello.size()) != static_cast<ssize_t>(hello.size())) ::_exit(1);
    for (;;) ::pause();
  }
  dying->store(child);
  ASSERT_TRUE(eventually([&] { return dying->load() == -1; }));
  ASSERT_TRUE(eventually([&] {
    const XPCServer::Counts counts = broker.counts();
    return !counts.mainAppConnected && counts.requestsAwaitingMainApp == 3 && counts.pendingRequests == 0;
  })) << broker.counts().requestsAwaitingMainApp
      << " waiting, " << broker.counts().pendingRequests << " pending";

  auto app = broker.connectApp(/*answerEcho=*/true);
  ASSERT_TRUE(app);
  ASSERT_TRUE(eventually([&] { return extension->replies().size() == 3; }));
  EXPECT_EQ(extension->replies().values(), (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(broker.openedURLs().size(), 3u);  // one wake per request, none for the return to the queue
  const std::vector<LoggedLine> errors = logged(log, log_lines::mainAppConnectionError);
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors[0].function, fn::finalizeXPCConnection);
  EXPECT_EQ(errors[0].priority, LOG_INFO);
}

}  // namespace
}  // namespace tessaly::broker::testing
