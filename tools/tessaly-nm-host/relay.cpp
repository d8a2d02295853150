#include "relay.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "tessaly/broker/protocols.h"
#include "tessaly/os/log.h"
#include "tessaly/xpc/xpc.h"

namespace tessaly::nmhost {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Room for the selector and argument descriptors around a body in one IPC message.
constexpr std::size_t kMessageOverhead = 64;
constexpr std::size_t kReadSize = std::size_t{64} << 10;

std::string duration(milliseconds span) {
  if (span.count() % 1000 == 0) return std::to_string(span.count() / 1000) + " s";
  return std::to_string(span.count()) + " ms";
}

// Writes bodies from the agent to the browser, one whole frame at a time, from any thread.
class BrowserWriter {
 public:
  BrowserWriter(int fd, std::function<void(std::string_view)> log) : fd_(fd), log_(std::move(log)) {}

  // False when the browser can no longer be written to; a body it would not take is dropped and logged.
  bool write(const xpc::Data& body) {
    std::string why;
    const std::optional<std::span<const std::uint8_t>> payload = browserPayload(body.span(), why);
    if (!payload) {
      log_("Dropped a message for the browser: " + why);
      return true;
    }
    std::lock_guard lock(mutex_);
    if (closed_) return true;
    if (!writeBrowserFrame(fd_, *payload)) {
      log_(std::string("Cannot write to the browser (") + std::strerror(errno) + "); ending");
      closed_ = true;
      return false;
    }
    return true;
  }

  // Nothing is written after this, also by replies that arrive late.
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }

 private:
  std::mutex mutex_;
  const int fd_;
  bool closed_ = false;
  std::function<void(std::string_view)> log_;
};

class Relay;

// What the agent calls on the host: broadcasts, the app-quit notification among them.
class HostClient final : public broker::XPCClient {
 public:
  explicit HostClient(std::weak_ptr<Relay> relay) : relay_(std::move(relay)) {}
  void receive(const xpc::Data& message, const std::string& requestId) override;

 private:
  std::weak_ptr<Relay> relay_;
};

class Relay final : public std::enable_shared_from_this<Relay> {
 public:
  Relay(int browserOutput, RelayOptions options)
      : options_(std::move(options)),
        writer_(browserOutput, options_.log),
        reader_(options_.maxMessageFromBrowser),
        wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    retryDelay_ = options_.firstRetryDelay;
    awaySince_ = Clock::now();
    nextAttempt_ = awaySince_;
  }

  ~Relay() {
    if (wake_ >= 0) ::close(wake_);
  }

  RelayEnd run(int browserInput);

  // From the agent, on the connection's queue.
  void deliver(const xpc::Data& body) {
    if (!writer_.write(body)) end(RelayEnd::browserGone, {});
  }

 private:
  enum class Phase { away, connected };

  void log(const std::string& line) { options_.log(line); }

  void wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wake_, &one, sizeof one);
  }

  void end(RelayEnd reason, const std::string& line) {
    {
      std::lock_guard lock(mutex_);
      if (ended_) return;
      ended_ = reason;
    }
    if (!line.empty()) log(line);
    wake();
  }

  // ---- the connection ------------------------------------------------------------------------------------

  // Makes a connection if there is none, and asks the agent for an echo: its answer says the agent is there.
  void attemptLocked() {
    probing_ = true;
    const std::weak_ptr<Relay> self = weak_from_this();
    if (!connection_) {
      const std::uint64_t generation = ++generation_;
      connection_ = xpc::Connection::connectToService(options_.service, options_.serviceOptions);
      connection_->setRemoteObjectInterface(broker::XPCBrowserHelper::interface());
      connection_->setExportedInterface(broker::XPCClient::interface());
      connection_->setExportedObject(std::make_shared<HostClient>(self));
      connection_->setInterruptionHandler([self, generation] {
        if (const auto relay = self.lock()) relay->agentWentAway(generation);
      });
      connection_->setInvalidationHandler([self, generation] {
        if (const auto relay = self.lock()) relay->connectionEnded(generation);
      });
      connection_->resume();
      requests_ = std::make_unique<broker::XPCBrowserHelperProxy>(
          connection_->remoteObjectProxyWithErrorHandler([self](xpc::Error error) {
            if (const auto relay = self.lock()) relay->sendFailed(error);
          }));
    }
    const std::uint64_t generation = generation_;
    agent([self, generation](xpc::Error) {
      if (const auto relay = self.lock()) relay->attemptFailed(generation);
    }).echo(xpc::Data(), [self, generation](xpc::Data) {
      if (const auto relay = self.lock()) relay->agentReached(generation);
    });
  }

  // The agent as seen through the current connection, with an error handler for the messages sent through it.
  broker::XPCBrowserHelperProxy agent(xpc::ErrorHandler onError) {
    return broker::XPCBrowserHelperProxy(connection_->remoteObjectProxyWithErrorHandler(std::move(onError)));
  }

  void agentReached(std::uint64_t generation) {
    {
      std::lock_guard lock(mutex_);
      if (generation != generation_) return;
      probing_ = false;
      phase_ = Phase::connected;
      retryDelay_ = options_.firstRetryDelay;
    }
    log(everConnected_.exchange(true) ? "The agent is back" : "Connected to the agent as an extension");
    wake();
  }

  void attemptFailed(std::uint64_t generation) {
    {
      std::lock_guard lock(mutex_);
      if (generation != generation_ || !probing_) return;
      probing_ = false;
      nextAttempt_ = Clock::now() + retryDelay_;
      retryDelay_ = std::min(retryDelay_ * 2, options_.longestRetryDelay);
    }
    wake();
  }

  void agentWentAway(std::uint64_t generation) {
    {
      std::lock_guard lock(mutex_);
      if (generation != generation_ || phase_ != Phase::connected) return;
      markAwayLocked();
    }
    log("The agent went away; reconnecting for up to " + duration(options_.reconnectWindow));
    wake();
  }

  void connectionEnded(std::uint64_t generation) {
    xpc::Error reason;
    {
      std::lock_guard lock(mutex_);
      if (generation != generation_ || !connection_) return;
      reason = connection_->invalidationReason();
      connection_ = nullptr;  // the next attempt makes a new one
      probing_ = false;
      if (phase_ == Phase::connected) markAwayLocked();
    }
    if (reason == xpc::Error::connection_refused) {
      end(RelayEnd::agentRefused, "The agent refused this host's connection; ending");
      return;
    }
    if (!unreachableLogged_.exchange(true)) {
      log("The agent is not reachable (" + std::string(xpc::describe(reason)) + "); trying again for up to " +
          duration(options_.reconnectWindow));
    }
    wake();
  }

  void markAwayLocked() {
    phase_ = Phase::away;
    awaySince_ = Clock::now();
    nextAttempt_ = awaySince_ + options_.firstRetryDelay;
    retryDelay_ = options_.firstRetryDelay;
  }

  void drainDone() {
    {
      std::lock_guard lock(mutex_);
      drained_ = true;
    }
    wake();
  }

  // ---- browser messages ----------------------------------------------------------------------------------

  // A message read from the browser: sent at once while the agent is there, kept for it otherwise.
  void submit(std::string_view payload) {
    const std::size_t limit = options_.serviceOptions.limits.maxMessageSize;
    if (payload.size() + 4 + kMessageOverhead > limit) {
      log("Dropped a message of " + std::to_string(payload.size()) +
          " bytes from the browser: over the agent's "
          "limit of " +
          std::to_string(limit) + " bytes");
      return;
    }
    xpc::Data body = xpc::Data::fromText(agentBody(payload));
    std::lock_guard lock(mutex_);
    if (phase_ == Phase::connected && waiting_.empty()) {
      sendLocked(std::move(body));
      return;
    }
    waitingBytes_ += body.size();
    waiting_.push_back(std::move(body));
    if (waiting_.size() > options_.maxWaitingMessages || waitingBytes_ > options_.maxWaitingBytes) {
      if (!ended_) {
        ended_ = RelayEnd::tooManyWaiting;
        log("More than " + std::to_string(options_.maxWaitingMessages) + " messages or " +
            std::to_string(options_.maxWaitingBytes) +
            " bytes waited for the agent; ending, so that the "
            "extension sees the disconnect");
      }
    }
  }

  void flushLocked() {
    while (phase_ == Phase::connected && !waiting_.empty()) {
      xpc::Data body = std::move(waiting_.front());
      waiting_.pop_front();
      waitingBytes_ -= body.size();
      sendLocked(std::move(body));
    }
  }

  void sendLocked(xpc::Data body) {
    const std::weak_ptr<Relay> self = weak_from_this();
    requests_->sendToMain(body, [self](xpc::Data reply) {
      if (const auto relay = self.lock()) relay->deliver(reply);
    });
  }

  void sendFailed(xpc::Error error) {
    // Sent again it might reach the desktop app twice; the extension learns of the loss from the silence.
    log("A request to the desktop app was lost when the agent went away (" + std::string(xpc::describe(error)) + ")");
  }

  RelayOptions options_;
  BrowserWriter writer_;
  FrameReader reader_;
  const int wake_;

  std::mutex mutex_;
  std::shared_ptr<xpc::Connection> connection_;
  std::unique_ptr<broker::XPCBrowserHelperProxy> requests_;  // the browser's messages go through this one
  std::uint64_t generation_ = 0;  // of connection_; callbacks of earlier connections are ignored
  Phase phase_ = Phase::away;
  bool probing_ = false;
  Clock::time_point awaySince_;
  Clock::time_point nextAttempt_;
  milliseconds retryDelay_;
  std::deque<xpc::Data> waiting_;
  std::size_t waitingBytes_ = 0;
  bool drainStarted_ = false;
  bool drained_ = false;
  std::optional<RelayEnd> ended_;
  std::atomic<bool> everConnected_{false};
  std::atomic<bool> unreachableLogged_{false};
};

void HostClient::receive(const xpc::Data& message, const std::string&) {
  if (const auto relay = relay_.lock()) relay->deliver(message);
}

RelayEnd Relay::run(int browserInput) {
  bool inputOpen = true;
  std::optional<Clock::time_point> closeBy;  // set once the browser has closed its end
  std::vector<std::uint8_t> buffer(kReadSize);
  for (;;) {
    int timeout = -1;
    {
      std::unique_lock lock(mutex_);
      if (ended_) break;
      const Clock::time_point now = Clock::now();
      if (phase_ == Phase::away) {
        if (now - awaySince_ > options_.reconnectWindow) {
          ended_ = RelayEnd::agentAway;
          lock.unlock();
          log("The agent did not come back within " + duration(options_.reconnectWindow) +
              "; ending, so that the extension sees the disconnect");
          break;
        }
        if (!probing_ && now >= nextAttempt_) attemptLocked();
        const Clock::time_point giveUp = awaySince_ + options_.reconnectWindow;
        const Clock::time_point next = probing_ ? giveUp : std::min(nextAttempt_, giveUp);
        timeout = static_cast<int>(std::chrono::ceil<milliseconds>(next - now).count()) + 1;
      }
      flushLocked();
      if (closeBy) {
        // Messages already sent reach the agent before the host goes: an echo answered after them says so.
        if (!drainStarted_ && phase_ == Phase::connected && waiting_.empty()) {
          drainStarted_ = true;
          const std::weak_ptr<Relay> self = weak_from_this();
          agent(nullptr).echo(xpc::Data(), [self](xpc::Data) {
            if (const auto relay = self.lock()) relay->drainDone();
          });
        }
        if (drained_ || now >= *closeBy) {
          ended_ = RelayEnd::browserClosed;
          break;
        }
        const int untilClose = static_cast<int>(std::chrono::ceil<milliseconds>(*closeBy - now).count()) + 1;
        timeout = timeout < 0 ? untilClose : std::min(timeout, untilClose);
      }
    }
    pollfd fds[2] = {{wake_, POLLIN, 0}, {inputOpen ? browserInput : -1, POLLIN, 0}};
    if (::poll(fds, 2, timeout) < 0 && errno != EINTR) {
      end(RelayEnd::brokenInput,
          std::string("Cannot wait for the browser's input (") + std::strerror(errno) + "); ending");
      continue;
    }
    if (fds[0].revents != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t ignored = ::read(wake_, &count, sizeof count);
    }
    if (!inputOpen || fds[1].revents == 0) continue;
    const ssize_t got = ::read(browserInput, buffer.data(), buffer.size());
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) {
      inputOpen = false;
      if (reader_.midFrame()) {
        end(RelayEnd::brokenInput, "The browser's input ended inside a message; ending");
        continue;
      }
      log("The browser closed the port; ending");
      closeBy = Clock::now() + options_.drainAfterClose;
      continue;
    }
    const bool intact = reader_.feed(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(got)),
                                     [this](std::string_view payload) { submit(payload); });
    if (!intact) {
      end(RelayEnd::brokenInput, "A message from the browser declares " + std::to_string(reader_.declaredLength()) +
                                     " bytes, over the limit of " + std::to_string(options_.maxMessageFromBrowser) +
                                     "; ending");
    }
  }
  writer_.close();
  std::shared_ptr<xpc::Connection> connection;
  {
    std::lock_guard lock(mutex_);
    connection = std::move(connection_);
    ++generation_;
  }
  if (connection) connection->invalidate();
  std::lock_guard lock(mutex_);
  return *ended_;
}

}  // namespace

RelayEnd runRelay(int browserInput, int browserOutput, const RelayOptions& options) {
  RelayOptions settled = options;
  if (!settled.log) {
    settled.log = [](std::string_view line) { oslog::write(oslog::Level::info, "com.tessaly.nm-host", "relay", line); };
  }
  const auto relay = std::make_shared<Relay>(browserOutput, std::move(settled));
  return relay->run(browserInput);
}

}  // namespace tessaly::nmhost
