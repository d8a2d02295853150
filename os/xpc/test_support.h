// Helpers of the IPC tests: the interfaces, services and clients they run (the rest is tessaly/testing).
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "tessaly/testing/files.h"
#include "tessaly/testing/listener_delegate.h"
#include "tessaly/testing/raw_peer.h"
#include "tessaly/testing/standard_error.h"
#include "tessaly/xpc/wire.h"
#include "tessaly/xpc/xpc.h"

namespace tessaly::xpc::testing {

using namespace std::chrono_literals;
using namespace tessaly::testing;

// Log lines go to standard error in the tests, where a failing test shows them and a test can read them.
inline const bool kLogToStandardError = tessaly::testing::logToStandardError();

// What the tests' services export.
inline const Interface& serviceInterface() {
  static const Interface interface(
      "TestService", {
                         {"echo:reply:", {ArgumentClass::data, ArgumentClass::reply}, {ArgumentClass::data}},
                         {"post:", {ArgumentClass::data}},
                         {"post:tag:", {ArgumentClass::data, ArgumentClass::string}},
                         {"hold:reply:", {ArgumentClass::data, ArgumentClass::reply}, {ArgumentClass::data}},
                     });
  return interface;
}

inline Data bytes(std::string_view text) { return Data::fromText(text); }
inline std::string textOf(const Arguments& reply) { return std::string(std::get<Data>(reply.at(0)).text()); }

inline ServiceOptions inDirectory(const std::string& directory) {
  ServiceOptions options;
  options.directory = directory;
  return options;
}

// The address of the socket at `path`.
inline sockaddr_un socketAddress(const std::string& path) {
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  return address;
}

// A socket listening at `path`, as a systemd socket unit makes it; -1 if it cannot be made.
inline int listenAt(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = socketAddress(path);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 16) == 0) return fd;
  ::close(fd);
  return -1;
}

// A listener in a private temporary directory whose accepted connections export `serviceInterface()`.
// By default "echo:reply:" answers with its body, "post:" bodies are recorded in order, and "hold:reply:"
// keeps its reply block without calling it. `accept` may veto each connection before it is configured.
// Handlers hold the recorded state weakly, so one that runs after the test has finished touches nothing.
class TestService {
 public:
  struct State {
    std::function<bool(const std::shared_ptr<Connection>&)> accept;  // none: every connection is accepted
    bool resumeOnAccept = true;
    Collected<std::shared_ptr<Connection>> connections;
    Collected<std::string> posts;
    Collected<ReplyBlock> held;
    std::atomic<int> delegateCalls{0};
    std::atomic<int> invalidations{0};
  };

  // Publishes in a fresh temporary directory unless given one.
  explicit TestService(std::string name = "com.tessaly.test", Limits limits = {}, std::string directory = {})
      : state_(std::make_shared<State>()), name_(std::move(name)) {
    options_.directory = directory.empty() ? directory_.path().native() : directory;
    options_.limits = limits;
    std::weak_ptr<State> weak = state_;
    object_ = std::make_shared<MethodTable>();
    object_->on("echo:reply:", [](Invocation& call) { call.reply()(call.data(0)); })
        .on("post:",
            [weak](Invocation& call) {
              if (auto state = weak.lock()) state->posts.add(std::string(call.data(0).text()));
            })
        .on("hold:reply:", [weak](Invocation& call) {
          if (auto state = weak.lock()) state->held.add(call.reply());
        });
    listener_ = Listener::create(name_, options_);
    std::weak_ptr<MethodTable> object = object_;
    listener_->setDelegate(
        std::make_shared<FunctionDelegate>([weak, object](Listener&, const std::shared_ptr<Connection>& connection) {
          auto state = weak.lock();
          auto table = object.lock();
          if (!state || !table) return false;
          ++state->delegateCalls;
          if (state->accept && !state->accept(connection)) return false;
          connection->setExportedInterface(serviceInterface());
          connection->setExportedObject(table);
          connection->setInvalidationHandler([weak] {
            if (auto s = weak.lock()) ++s->invalidations;
          });
          state->connections.add(connection);
          if (state->resumeOnAccept) connection->resume();
          return true;
        }));
  }
  ~TestService() {
    listener_->invalidate();
    for (const std::shared_ptr<Connection>& connection : state_->connections.values()) connection->invalidate();
  }

  Error resume() { return listener_->resume(); }
  // Resumed, for a client to connect to; throws (failing the test) when it cannot be published.
  const TestService& started() {
    if (resume() != Error::none) throw std::runtime_error("the test service could not be published");
    return *this;
  }
  MethodTable& methods() { return *object_; }
  Listener& listener() { return *listener_; }
  const std::string& name() const { return name_; }
  const ServiceOptions& options() const { return options_; }
  State& state() { return *state_; }
  std::shared_ptr<Connection> connection(std::size_t index) const { return state_->connections.values().at(index); }

 private:
  TemporaryDirectory directory_;
  std::shared_ptr<State> state_;
  std::string name_;
  ServiceOptions options_;
  std::shared_ptr<MethodTable> object_;
  std::shared_ptr<Listener> listener_;
};

// A client connection to a TestService, with its handlers counted.
class TestClient {
 public:
  struct State {
    Collected<Error> errors;
    std::atomic<int> invalidations{0};
    std::atomic<int> interruptions{0};
  };

  TestClient(const std::string& name, const ServiceOptions& options, bool resume = true)
      : connection(Connection::connectToService(name, options)), state_(std::make_shared<State>()) {
    std::weak_ptr<State> weak = state_;
    connection->setRemoteObjectInterface(serviceInterface());
    connection->setInvalidationHandler([weak] {
      if (auto s = weak.lock()) ++s->invalidations;
    });
    connection->setInterruptionHandler([weak] {
      if (auto s = weak.lock()) ++s->interruptions;
    });
    proxy = connection->remoteObjectProxyWithErrorHandler([weak](Error error) {
      if (auto s = weak.lock()) s->errors.add(error);
    });
    if (resume) connection->resume();
  }
  explicit TestClient(const TestService& service, bool resume = true)
      : TestClient(service.name(), service.options(), resume) {}
  ~TestClient() { connection->invalidate(); }

  // Sends "echo:reply:" and waits for the answer; nullopt when an error came instead or nothing came.
  std::optional<std::string> echo(std::string_view body) {
    auto answer = std::make_shared<std::optional<std::string>>();
    auto done = std::make_shared<std::atomic<bool>>(false);
    const std::size_t errorsBefore = errors().size();
    proxy.send("echo:reply:", {bytes(body)}, [answer, done](const Arguments& reply) {
      *answer = textOf(reply);
      *done = true;
    });
    eventually([&] { return done->load() || errors().size() > errorsBefore; });
    return done->load() ? *answer : std::nullopt;
  }

  Collected<Error>& errors() { return state_->errors; }
  // The errors once there are `count` of them.
  std::vector<Error> awaitErrors(std::size_t count) {
    eventually([&] { return errors().size() >= count; });
    return errors().values();
  }
  int invalidations() const { return state_->invalidations; }
  int interruptions() const { return state_->interruptions; }

  std::shared_ptr<Connection> connection;
  RemoteProxy proxy;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace tessaly::xpc::testing
