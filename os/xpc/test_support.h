// Helpers shared by the IPC tests: temporary directories, waiting, test interfaces, services and raw peers.
#pragma once

#include <poll.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tessaly/xpc/xpc.h"
#include "wire.h"

namespace tessaly::xpc::testing {

using namespace std::chrono_literals;

// Log lines go to standard error in the tests, where a failing test shows them and a test can read them.
// Set before main, while there is one thread.
inline const bool kLogToStandardError = [] { return ::setenv("TESSALY_LOG", "stderr", 1) == 0; }();

// Generous: the machine running the tests may be busy.
inline constexpr std::chrono::milliseconds kPatience = 20s;

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout = kPatience) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    char pattern[] = "/tmp/xpc-test-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// What the tests' services export.
inline const Interface& serviceInterface() {
  static const Interface interface("TestService", {
      {"echo:reply:", {ArgumentClass::data, ArgumentClass::reply}, {ArgumentClass::data}},
      {"post:", {ArgumentClass::data}},
      {"post:tag:", {ArgumentClass::data, ArgumentClass::string}},
      {"hold:reply:", {ArgumentClass::data, ArgumentClass::reply}, {ArgumentClass::data}},
  });
  return interface;
}

// What the tests' clients export back.
inline const Interface& clientInterface() {
  static const Interface interface("TestClient", {
      {"receive:requestId:", {ArgumentClass::data, ArgumentClass::string}},
  });
  return interface;
}

inline Data bytes(std::string_view text) { return Data::fromText(text); }

class FunctionDelegate final : public ListenerDelegate {
 public:
  using Function = std::function<bool(Listener&, const std::shared_ptr<Connection>&)>;
  explicit FunctionDelegate(Function function) : function_(std::move(function)) {}
  bool shouldAcceptNewConnection(Listener& listener, const std::shared_ptr<Connection>& connection) override {
    return function_(listener, connection);
  }

 private:
  Function function_;
};

// Collects values from several threads.
template <typename T>
class Collected {
 public:
  void add(T value) {
    std::lock_guard lock(mutex_);
    values_.push_back(std::move(value));
  }
  std::vector<T> values() const {
    std::lock_guard lock(mutex_);
    return values_;
  }
  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return values_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<T> values_;
};

// A listener in a private temporary directory whose accepted connections export `serviceInterface()`.
// By default "echo:reply:" answers with its body, "post:" bodies are recorded in order, and "hold:reply:"
// keeps its reply block without calling it. `accept` may veto each connection before it is configured.
// Handlers hold the recorded state weakly, so one that runs after the test has finished touches nothing.
class TestService {
 public:
  struct State {
    std::function<bool(const std::shared_ptr<Connection>&)> accept = [](const std::shared_ptr<Connection>&) {
      return true;
    };
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
    options_.directory = directory.empty() ? directory_.path() : directory;
    options_.limits = limits;
    std::weak_ptr<State> weak = state_;
    object_ = std::make_shared<MethodTable>();
    object_->on("echo:reply:", [](Invocation& call) { call.reply()(call.data(0)); })
        .on("post:", [weak](Invocation& call) {
          if (auto state = weak.lock()) state->posts.add(std::string(call.data(0).text()));
        })
        .on("hold:reply:", [weak](Invocation& call) {
          if (auto state = weak.lock()) state->held.add(call.reply());
        });
    listener_ = Listener::create(name_, options_);
    std::weak_ptr<MethodTable> object = object_;
    listener_->setDelegate(std::make_shared<FunctionDelegate>(
        [weak, object](Listener&, const std::shared_ptr<Connection>& connection) {
          auto state = weak.lock();
          auto table = object.lock();
          if (!state || !table) return false;
          ++state->delegateCalls;
          if (!state->accept(connection)) return false;
          connection->setExportedInterface(serviceInterface());
          connection->setExportedObject(table);
          connection->setRemoteObjectInterface(clientInterface());
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
  MethodTable& methods() { return *object_; }
  Listener& listener() { return *listener_; }
  const std::string& name() const { return name_; }
  const ServiceOptions& options() const { return options_; }
  const std::string& directory() const { return options_.directory; }
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
    Collected<std::string> received;
    std::atomic<int> invalidations{0};
    std::atomic<int> interruptions{0};
  };

  TestClient(const std::string& name, const ServiceOptions& options, bool resume = true)
      : connection(Connection::connectToService(name, options)), state_(std::make_shared<State>()) {
    std::weak_ptr<State> weak = state_;
    connection->setRemoteObjectInterface(serviceInterface());
    connection->setExportedInterface(clientInterface());
    auto table = std::make_shared<MethodTable>();
    table->on("receive:requestId:", [weak](Invocation& call) {
      if (auto s = weak.lock()) s->received.add(std::string(call.data(0).text()) + "|" + call.string(1));
    });
    connection->setExportedObject(table);
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
      *answer = std::string(std::get<Data>(reply.at(0)).text());
      *done = true;
    });
    eventually([&] { return done->load() || errors().size() > errorsBefore; });
    return done->load() ? *answer : std::nullopt;
  }

  Collected<Error>& errors() { return state_->errors; }
  Collected<std::string>& received() { return state_->received; }
  int invalidations() const { return state_->invalidations; }
  int interruptions() const { return state_->interruptions; }

  std::shared_ptr<Connection> connection;
  RemoteProxy proxy;

 private:
  std::shared_ptr<State> state_;
};

// A peer that speaks the wire format by hand, to send what a well-behaved peer never would.
class RawPeer {
  static constexpr timeval kReceiveTimeout{20, 0};

 public:
  explicit RawPeer(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawPeer() { ::close(fd_); }
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  bool connected() const { return connected_; }

  bool write(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }

  // Greets the service and reads its welcome.
  bool handshake() {
    if (!connected_ || !write(wire::OutgoingFrame::greeting(wire::FrameKind::hello).flatten())) return false;
    const std::string expected = wire::OutgoingFrame::greeting(wire::FrameKind::welcome).flatten();
    std::string got(expected.size(), '\0');
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &kReceiveTimeout, sizeof kReceiveTimeout);
    return ::recv(fd_, got.data(), got.size(), MSG_WAITALL) == static_cast<ssize_t>(got.size()) && got == expected;
  }

  // True once the other end has closed the connection (reads end of file or a reset).
  bool closedByPeer(std::chrono::milliseconds timeout = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return true;
    }
    return false;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// Collects what is written to standard error while it lives.
class StandardErrorCapture {
 public:
  StandardErrorCapture() : saved_(::dup(STDERR_FILENO)) {
    std::fflush(stderr);
    ::dup2(file_, STDERR_FILENO);
  }
  ~StandardErrorCapture() {
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    ::close(file_);
  }
  std::string text() const {
    std::fflush(stderr);
    std::string out(static_cast<std::size_t>(::lseek(file_, 0, SEEK_END)), '\0');
    out.resize(static_cast<std::size_t>(std::max<ssize_t>(0, ::pread(file_, out.data(), out.size(), 0))));
    return out;
  }

 private:
  int file_ = ::memfd_create("stderr", MFD_CLOEXEC);
  int saved_;
};

// Frame bytes for raw peers.
inline std::string messageFrame(std::string_view selector, Arguments values, std::uint64_t token = 0) {
  return wire::OutgoingFrame::message(token, selector, std::move(values)).flatten();
}

}  // namespace tessaly::xpc::testing
