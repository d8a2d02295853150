// Helpers shared by the broker's tests: a server on real sockets in a private directory, in-process peers,
// a URL opener that records what the agent opens, and the broker's log lines as the logging facade got them.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <syslog.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tessaly/broker/broker_log.h"
#include "tessaly/broker/protocols.h"
#include "tessaly/broker/xpc_server.h"
#include "tessaly/model/native_messaging.h"
#include "tessaly/testing/core_logging_capture.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/raw_peer.h"
#include "tessaly/testing/standard_error.h"

namespace tessaly::broker::testing {

using namespace std::chrono_literals;
using namespace tessaly::testing;

// Log lines go to standard error in the tests, where a failing test shows them.
inline const bool kLogToStandardError = tessaly::testing::logToStandardError();

inline constexpr const char* kServiceName = "com.tessaly.test.broker";

// The agent opens URLs with $TESSALY_URL_OPENER; in the tests that is a program that does nothing, so that a
// server with the default workspace never starts the desktop's handler. Set before main, with one thread.
inline const bool kOpenerInstalled = ::setenv("TESSALY_URL_OPENER", "/bin/true", 1) == 0;

struct Delivery {
  std::string body;
  std::string requestId;  // empty for a broadcast
  bool operator==(const Delivery&) const = default;
};

// A peer in this process: exports XPCClient and records what it receives; calls the agent through its proxy.
// With answerEcho, it answers each relayed request at once with its own body, as a desktop app would.
class Peer {
 public:
  struct State {
    Collected<Delivery> received;
    Collected<std::string> replies;
    std::atomic<int> interruptions{0};
    std::atomic<int> invalidations{0};
    std::atomic<bool> answerEcho{false};
    std::shared_ptr<XPCBrowserHelper> agent;
  };

  Peer(const std::string& directory, bool answerEcho = false) : state_(std::make_shared<State>()) {
    state_->answerEcho = answerEcho;
    xpc::ServiceOptions options;
    options.directory = directory;
    connection = xpc::Connection::connectToService(kServiceName, options);
    connection->setRemoteObjectInterface(XPCBrowserHelper::interface());
    connection->setExportedInterface(XPCClient::interface());
    connection->setExportedObject(std::make_shared<Client>(state_));
    std::weak_ptr<State> weak = state_;
    connection->setInterruptionHandler([weak] {
      if (auto state = weak.lock()) ++state->interruptions;
    });
    connection->setInvalidationHandler([weak] {
      if (auto state = weak.lock()) ++state->invalidations;
    });
    state_->agent = std::make_shared<XPCBrowserHelperProxy>(connection->remoteObjectProxy());
    connection->resume();
  }
  ~Peer() { connection->invalidate(); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  XPCBrowserHelper& agent() { return *state_->agent; }

  // Sends echo:reply: and waits for the answer; nothing if none came.
  std::optional<std::string> echo(std::string_view body = "") {
    auto answer = std::make_shared<Collected<std::string>>();
    agent().echo(xpc::Data::fromText(body), [answer](xpc::Data reply) { answer->add(std::string(reply.text())); });
    if (!eventually([&] { return answer->size() > 0 || state_->invalidations > 0; })) return std::nullopt;
    return answer->size() > 0 ? std::optional(answer->values()[0]) : std::nullopt;
  }

  // sendToMain:reply:; the answer is recorded in replies().
  void sendToMain(std::string_view body) {
    std::weak_ptr<State> weak = state_;
    agent().sendToMain(xpc::Data::fromText(body), [weak](xpc::Data reply) {
      if (auto state = weak.lock()) state->replies.add(std::string(reply.text()));
    });
  }

  Collected<Delivery>& received() { return state_->received; }
  Collected<std::string>& replies() { return state_->replies; }
  int invalidations() const { return state_->invalidations; }
  int interruptions() const { return state_->interruptions; }

  std::shared_ptr<xpc::Connection> connection;

 private:
  class Client final : public XPCClient {
   public:
    explicit Client(std::weak_ptr<State> state) : state_(std::move(state)) {}
    void receive(const xpc::Data& message, const std::string& requestId) override {
      const auto state = state_.lock();
      if (!state) return;
      if (state->answerEcho && !requestId.empty()) state->agent->sendResponse(message, requestId);
      state->received.add({std::string(message.text()), requestId});
    }

   private:
    std::weak_ptr<State> state_;
  };

  std::shared_ptr<State> state_;
};

// A server of its own on real sockets in a private directory. Peers in this process all have this process's
// identifier, so whether the next peer is taken as the desktop app is set by the test before it connects.
// Started unless told otherwise.
class BrokerFixture {
 public:
  explicit BrokerFixture(bool start = true, xpc::Limits limits = {}) {
    XPCServer::Dependencies dependencies;
    dependencies.validateRemoteProcess = [accept = accept_](pid_t) { return accept->load(); };
    dependencies.isApplicationWithBundleIdentifier = [nextIsApp = nextIsApp_](pid_t) { return nextIsApp->load(); };
    dependencies.mainBundleIdentifier = [] { return std::optional<std::string>(kServiceName); };
    dependencies.openURL = [opened = opened_](const std::string& url) { opened->add(url); };
    dependencies.appQuitNotification = [fails = appQuitFails_]() -> std::optional<std::string> {
      if (fails->load()) return std::nullopt;
      return *model::appQuitNotificationFrame();
    };
    dependencies.serviceOptions.directory = directory_.path();
    dependencies.serviceOptions.limits = limits;
    server = XPCServer::create(std::move(dependencies));
    if (start) server->start();
  }
  // Stops the server and waits until every connection has ended and let go of it, so that nothing of this
  // server still runs (or logs) during the next test.
  ~BrokerFixture() {
    server->stop();
    eventually([&] { return server.use_count() == 1; });
  }

  // A peer that the server has accepted (its echo was answered), as the desktop app or as an extension.
  std::unique_ptr<Peer> connectApp(bool answerEcho = false, bool asDesktopApp = true) {
    nextIsApp_->store(asDesktopApp);
    auto peer = std::make_unique<Peer>(directory_.path().native(), answerEcho);
    const bool accepted = peer->echo().has_value();
    nextIsApp_->store(false);
    return accepted ? std::move(peer) : nullptr;
  }
  std::unique_ptr<Peer> connectExtension() { return connectApp(false, false); }

  void refuseEveryone() { accept_->store(false); }
  void setNextIsApp(bool app) { nextIsApp_->store(app); }
  // The app-quit notification cannot be encoded from now on.
  void failAppQuitNotification() { appQuitFails_->store(true); }
  const std::string& directory() const { return directory_.path().native(); }
  std::string socketPath() const { return directory_.path() / kServiceName; }
  XPCServer::Counts counts() const { return server->counts(); }
  // Every URL the server asked the workspace to open, in order.
  std::vector<std::string> openedURLs() const { return opened_->values(); }

  std::shared_ptr<XPCServer> server;

 private:
  TemporaryDirectory directory_;
  std::shared_ptr<std::atomic<bool>> accept_ = std::make_shared<std::atomic<bool>>(true);
  std::shared_ptr<std::atomic<bool>> nextIsApp_ = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<std::atomic<bool>> appQuitFails_ = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<Collected<std::string>> opened_ = std::make_shared<Collected<std::string>>();
};

// The broker's lines among those the facade got, in order.
inline std::vector<LoggedLine> brokerLines(const CoreLoggingCapture& capture) {
  std::vector<LoggedLine> lines = capture.lines();
  std::erase_if(lines, [](const LoggedLine& line) { return line.file != log_lines::kFile; });
  return lines;
}

// The broker's lines with the text of `line`.
inline std::vector<LoggedLine> logged(const CoreLoggingCapture& capture, const log_lines::Line& line) {
  std::vector<LoggedLine> lines = brokerLines(capture);
  std::erase_if(lines, [&](const LoggedLine& got) { return got.text != line.text; });
  return lines;
}

// A line the broker is expected to write, with the function string of the operation that writes it.
struct ExpectedLine {
  const log_lines::Line& line;
  std::string_view function;
};

// Waits until the broker has written as many lines as `expected` since `capture` began, then checks each one's
// text, function string and level: error for the one error line, ordinary for every other.
inline void expectBrokerLog(const CoreLoggingCapture& capture, const std::vector<ExpectedLine>& expected) {
  std::vector<LoggedLine> got;
  eventually([&] { return (got = brokerLines(capture)).size() >= expected.size(); });
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(expected[i].line.text);
    EXPECT_EQ(got[i].text, expected[i].line.text);
    EXPECT_EQ(got[i].function, expected[i].function);
    EXPECT_EQ(got[i].priority, &expected[i].line == &log_lines::appQuitEncodingFailed ? LOG_ERR : LOG_INFO);
  }
}

}  // namespace tessaly::broker::testing
