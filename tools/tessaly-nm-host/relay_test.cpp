// The relay between a browser's pipes and an agent on real sockets: an agent of the tests' own that answers each
// request with its body, can broadcast, and can go away and come back.
#include "relay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <thread>

#include "tessaly/broker/protocols.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/listener_delegate.h"

namespace tessaly::nmhost {
namespace {

using namespace std::chrono_literals;
using tessaly::testing::Collected;
using tessaly::testing::eventually;
using tessaly::testing::FunctionDelegate;
using tessaly::testing::TemporaryDirectory;

constexpr const char* kService = "com.tessaly.test.nm-host-agent";

const bool kPipesDoNotKill = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();

std::string nativeFrame(std::string_view json) {
  const auto length = static_cast<std::uint32_t>(json.size());
  std::string frame(reinterpret_cast<const char*>(&length), sizeof length);
  return frame.append(json);
}

// The agent as the host sees it: echo answers, every request is recorded and answered with its own body, and
// broadcasts go to every connected host.
class TestAgent final : public broker::XPCBrowserHelper {
 public:
  void echo(const xpc::Data& message, broker::ReplyAction reply) override { reply(message); }
  void sendToMain(const xpc::Data& message, broker::ReplyAction reply) override {
    requests.add(std::string(message.text()));
    reply(message);
  }
  void broadcastToExtensions(const xpc::Data&) override {}
  void sendResponse(const xpc::Data&, const std::string&) override {}

  Collected<std::string> requests;
};

// Publishes a TestAgent under kService in `directory`, until stopped.
class AgentService {
 public:
  AgentService(const std::string& directory, bool accept = true) {
    xpc::ServiceOptions options;
    options.directory = directory;
    listener_ = xpc::Listener::create(kService, options);
    listener_->setDelegate(std::make_shared<FunctionDelegate>(
        [this, accept](xpc::Listener&, const std::shared_ptr<xpc::Connection>& connection) {
          if (!accept) return false;
          connection->setExportedInterface(broker::XPCBrowserHelper::interface());
          connection->setExportedObject(agent_);
          connection->setRemoteObjectInterface(broker::XPCClient::interface());
          connection->resume();
          std::lock_guard lock(mutex_);
          connections_.push_back(connection);
          return true;
        }));
    EXPECT_EQ(listener_->resume(), xpc::Error::none);
  }
  ~AgentService() { stop(); }

  TestAgent& agent() { return *agent_; }
  std::size_t connections() {
    std::lock_guard lock(mutex_);
    return connections_.size();
  }
  void broadcast(std::string_view body) {
    std::lock_guard lock(mutex_);
    for (const auto& connection : connections_) {
      broker::XPCClientProxy(connection->remoteObjectProxy()).receive(xpc::Data::fromText(body), "");
    }
  }
  // Withdraws the service and drops every host, as an agent that ends does.
  void stop() {
    if (listener_) listener_->invalidate();
    listener_ = nullptr;
    std::lock_guard lock(mutex_);
    for (const auto& connection : connections_) connection->invalidate();
    connections_.clear();
  }

 private:
  std::shared_ptr<TestAgent> agent_ = std::make_shared<TestAgent>();
  std::shared_ptr<xpc::Listener> listener_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<xpc::Connection>> connections_;
};

// The browser's ends of the host's pipes, and the relay running on a thread of its own.
class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int in[2], out[2];
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    toHost_ = in[1];
    hostInput_ = in[0];
    fromHost_ = out[0];
    hostOutput_ = out[1];
    options_.service = kService;
    options_.serviceOptions.directory = directory_.path().native();
    options_.log = [this](std::string_view line) { log_.add(std::string(line)); };
  }
  void TearDown() override {
    if (toHost_ >= 0) ::close(toHost_);
    if (ended_.valid()) ended_.wait();
    for (int fd : {hostInput_, fromHost_, hostOutput_}) ::close(fd);
  }

  void start() {
    ended_ = std::async(std::launch::async, [this] { return runRelay(hostInput_, hostOutput_, options_); });
  }
  void send(std::string_view json) { sendRaw(nativeFrame(json)); }
  void sendRaw(const std::string& bytes) {
    ASSERT_EQ(::write(toHost_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void closeInput() {
    ::close(toHost_);
    toHost_ = -1;
  }
  // The next message the browser reads, or nothing when ten seconds pass without a byte.
  std::optional<std::string> receive() {
    std::uint32_t length = 0;
    if (!readExactly(&length, sizeof length)) return std::nullopt;
    std::string json(length, '\0');
    if (!readExactly(json.data(), length)) return std::nullopt;
    return json;
  }
  std::optional<RelayEnd> endWithin(std::chrono::milliseconds patience) {
    if (ended_.wait_for(patience) != std::future_status::ready) return std::nullopt;
    return ended_.get();
  }
  // How many log lines contain `part`.
  std::ptrdiff_t logged(std::string_view part) {
    return std::ranges::count_if(log_.values(),
                                 [&](const std::string& line) { return line.find(part) != std::string::npos; });
  }

  TemporaryDirectory directory_;
  RelayOptions options_;
  Collected<std::string> log_;
  std::future<RelayEnd> ended_;

 private:
  bool readExactly(void* into, std::size_t size) {
    auto* at = static_cast<char*>(into);
    while (size > 0) {
      pollfd readable{fromHost_, POLLIN, 0};
      if (::poll(&readable, 1, 10'000) <= 0) return false;
      const ssize_t got = ::read(fromHost_, at, size);
      if (got <= 0) return false;
      at += got;
      size -= static_cast<std::size_t>(got);
    }
    return true;
  }

  int toHost_ = -1, hostInput_ = -1, fromHost_ = -1, hostOutput_ = -1;
};

// Requests, replies and broadcasts pass unchanged; a message the agent's connection cannot carry is dropped
// alone, the connection staying up; what the browser sent just before closing still reaches the agent, and the
// host ends within a second of the close.
TEST_F(RelayTest, CarriesRequestsRepliesAndBroadcastsUnchangedAndEndsWhenTheBrowserCloses) {
  AgentService service(directory_.path().native());
  options_.serviceOptions.limits.maxMessageSize = 1000;
  start();
  const std::vector<std::string> sent = {R"({"n":1})", R"({"n":2,"text":"\u00e9t\u00e9"})", "{}"};
  send(sent[0]);
  send("\"" + std::string(990, 'x') + "\"");
  for (const std::string& json : {sent[1], sent[2]}) send(json);
  for (const std::string& json : sent) EXPECT_EQ(receive(), json);
  // The agent got each message as a frame with a little-endian length.
  EXPECT_EQ(service.agent().requests.values().at(0), std::string("\x07\x00\x00\x00", 4) + R"({"n":1})");
  // A broadcast goes to the browser without any message from it first.
  service.broadcast(agentBody(R"({"news":1})"));
  EXPECT_EQ(receive(), R"({"news":1})");
  send(R"({"last":1})");
  const auto closed = std::chrono::steady_clock::now();
  closeInput();
  EXPECT_EQ(endWithin(1s), RelayEnd::browserClosed);
  EXPECT_LT(std::chrono::steady_clock::now() - closed, 1s);
  EXPECT_EQ(service.agent().requests.size(), 4u);
  EXPECT_TRUE(logged("The browser closed the port; ending"));
  EXPECT_TRUE(logged("Dropped a message of 992 bytes from the browser: over the agent's limit of 1000 bytes"));
  EXPECT_EQ(service.connections(), 1u);
}

// Bodies the browser would refuse are dropped one by one; the port stays open for the next.
TEST_F(RelayTest, DropsBodiesTheBrowserWouldNotTakeAndGoesOn) {
  AgentService service(directory_.path().native());
  start();
  send(R"({"hello":1})");
  ASSERT_EQ(receive(), R"({"hello":1})");
  const std::string huge = "\"" + std::string(kMaxMessageToBrowser - 1, 'x') + "\"";  // one byte over
  const std::string fits = "\"" + std::string(kMaxMessageToBrowser - 2, 'y') + "\"";  // exactly the limit
  service.broadcast(agentBody(huge));
  service.broadcast(std::string("\x09\x00\x00\x00{}", 6));  // declares more than it carries
  service.broadcast("{}");                                  // no frame at all
  service.broadcast(agentBody("{}") + "x");                 // carries more than it declares
  service.broadcast(agentBody(fits));
  service.broadcast(agentBody(""));
  service.broadcast(agentBody(R"({"after":1})"));
  EXPECT_EQ(receive(), fits);
  EXPECT_EQ(receive(), "");
  EXPECT_EQ(receive(), R"({"after":1})");
  EXPECT_TRUE(eventually([&] { return log_.size() >= 4; }));
  EXPECT_TRUE(logged("Dropped a message for the browser: a message of 1048577 bytes is over the browser's limit"));
  EXPECT_TRUE(logged("declares 9 bytes of JSON; it is not one native-messaging frame"));
  EXPECT_TRUE(logged("a body of 2 bytes is not a native-messaging frame"));
  EXPECT_TRUE(logged("a body of 7 bytes declares 2 bytes of JSON"));
}

// An agent that is not there yet when the host starts (socket activation may still be starting it), and one that
// goes away and comes back (as when its socket unit restarts it): the host connects by itself, so broadcasts
// reach the browser again, and what the browser sent meanwhile arrives in order.
TEST_F(RelayTest, WaitsForTheAgentAndReconnectsDeliveringWhatWaitedInOrder) {
  options_.firstRetryDelay = 20ms;
  start();
  send(R"({"n":0})");
  std::this_thread::sleep_for(300ms);
  auto service = std::make_unique<AgentService>(directory_.path().native());
  ASSERT_EQ(receive(), R"({"n":0})");
  EXPECT_TRUE(logged("The agent is not reachable"));
  service->stop();
  ASSERT_TRUE(eventually([&] { return logged("The agent went away; reconnecting for up to 30 s"); }));
  for (int n = 1; n <= 3; ++n) send("{\"n\":" + std::to_string(n) + "}");
  std::this_thread::sleep_for(200ms);
  service = std::make_unique<AgentService>(directory_.path().native());
  ASSERT_TRUE(eventually([&] { return service->connections() == 1; })) << "the host did not reconnect by itself";
  for (int n = 1; n <= 3; ++n) EXPECT_EQ(receive(), "{\"n\":" + std::to_string(n) + "}");
  EXPECT_EQ(service->agent().requests.size(), 3u);
  service->broadcast(agentBody(R"({"back":true})"));
  EXPECT_EQ(receive(), R"({"back":true})");
  EXPECT_TRUE(logged("The agent is back"));

  // What the browser sent just before closing reaches an agent that is away at that moment (restarting), as long
  // as it is back within the time the host gives it after the close.
  service->stop();
  ASSERT_TRUE(eventually([&] { return logged("The agent went away") == 2; }));
  send(R"({"last":1})");
  closeInput();
  std::this_thread::sleep_for(100ms);
  service = std::make_unique<AgentService>(directory_.path().native());
  EXPECT_EQ(endWithin(1s), RelayEnd::browserClosed);
  EXPECT_EQ(service->agent().requests.values(), std::vector<std::string>{agentBody(R"({"last":1})")});
}

TEST_F(RelayTest, EndsWhenTheAgentStaysAway) {
  options_.reconnectWindow = 400ms;
  options_.firstRetryDelay = 20ms;
  auto service = std::make_unique<AgentService>(directory_.path().native());
  start();
  send("{}");
  ASSERT_TRUE(receive().has_value());
  service->stop();
  EXPECT_EQ(endWithin(10s), RelayEnd::agentAway);
  EXPECT_TRUE(logged("The agent did not come back within 400 ms; ending, so that the extension sees the disconnect"));
}

TEST_F(RelayTest, EndsWhenMoreWaitsThanTheBoundsAllow) {
  options_.maxWaitingMessages = 3;
  options_.firstRetryDelay = 1s;
  start();  // no agent
  for (int n = 0; n < 4; ++n) send("{}");
  EXPECT_EQ(endWithin(10s), RelayEnd::tooManyWaiting);
  EXPECT_TRUE(logged("More than 3 messages"));
}

TEST_F(RelayTest, EndsWhenTheAgentRefusesTheHost) {
  AgentService service(directory_.path().native(), /*accept=*/false);
  start();
  EXPECT_EQ(endWithin(10s), RelayEnd::agentRefused);
  EXPECT_TRUE(logged("The agent refused this host's connection; ending"));
}

// Input that cannot be followed ends the host: a length over the limit, or input that stops inside a frame.
TEST_F(RelayTest, EndsOnInputItCannotFollow) {
  AgentService service(directory_.path().native());
  options_.maxMessageFromBrowser = 1000;
  start();
  send(std::string(1000, ' '));  // at the limit: fine
  ASSERT_TRUE(receive().has_value());
  const std::uint32_t tooLong = 1001;
  sendRaw(std::string(reinterpret_cast<const char*>(&tooLong), 4));
  EXPECT_EQ(endWithin(5s), RelayEnd::brokenInput);
  EXPECT_TRUE(logged("declares 1001 bytes, over the limit of 1000"));
}

TEST_F(RelayTest, InputEndingInsideAMessageIsBroken) {
  AgentService service(directory_.path().native());
  start();
  sendRaw(nativeFrame("{}").substr(0, 5));
  closeInput();
  EXPECT_EQ(endWithin(5s), RelayEnd::brokenInput);
  EXPECT_TRUE(logged("The browser's input ended inside a message"));
}

}  // namespace
}  // namespace tessaly::nmhost
