// The implementation behind Connection: one socket, its serial queue, its outgoing queue and its state.
#pragma once

#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "buffer_budget.h"
#include "peer_process.h"
#include "runtime.h"
#include "tessaly/xpc/connection.h"
#include "tessaly/xpc/wire.h"
#include "unique_fd.h"

namespace tessaly::xpc::detail {

using Socket = asio::local::stream_protocol::socket;

class ConnectionImpl;

// What a ReplyBlock needs to answer one message: where, under which token, with which classes.
struct ReplyState {
  std::weak_ptr<ConnectionImpl> connection;
  std::uint64_t token = 0;
  std::uint64_t generation = 0;  // the socket the message came on; a reply never crosses a reconnection
  std::vector<ArgumentClass> classes;
  std::atomic<bool> called{false};
};

// Threads: public calls come from any thread. Socket reads, frame handling, user handlers and state
// transitions run on the strand. The outgoing queue and the state shared with senders are guarded by
// mutex_; a sender writes straight to the socket under that mutex when nothing is queued before it, and
// otherwise leaves the rest to an asynchronous write on the strand. No user code runs under mutex_.
//
// The bytes waiting in the outgoing queue and those of frames being received are charged to the process's
// buffer budget (budget_).
class ConnectionImpl final : public Connection {
 public:
  using GreetedCallback = std::function<void(const std::shared_ptr<ConnectionImpl>&)>;

  // Client side.
  ConnectionImpl(LoopLease loop, std::string serviceName, ServiceOptions options);
  // Service side, for a socket the listener accepted on `loop`.
  ConnectionImpl(LoopLease loop, std::string serviceName, Limits limits, Socket socket, PeerProcess peer);
  ~ConnectionImpl() override;

  void setExportedInterface(Interface interface) override;
  void setExportedObject(std::shared_ptr<ExportedObject> object) override;
  void setRemoteObjectInterface(Interface interface) override;
  std::optional<Interface> remoteObjectInterface() const override;
  void setInvalidationHandler(std::function<void()> handler) override;
  void setInterruptionHandler(std::function<void()> handler) override;
  pid_t processIdentifier() const noexcept override { return pid_.load(std::memory_order_relaxed); }
  uid_t effectiveUserIdentifier() const noexcept override { return uid_.load(std::memory_order_relaxed); }
  const std::string& serviceName() const noexcept override { return serviceName_; }
  void resume() override;
  void invalidate() override;
  Error invalidationReason() const override;

  // Service side: reads the peer's greeting, then calls `onGreeted` on this connection's strand. Until the
  // connection has greeted or ended it counts in `ungreeted`.
  void beginHandshake(GreetedCallback onGreeted, std::shared_ptr<std::atomic<int>> ungreeted);
  // Service side: true until the peer has greeted (or the connection ended).
  bool awaitingGreeting() const noexcept { return awaitingGreeting_.load(); }
  // Service side: drops the connection if it still has not greeted and has sent nothing at all; any thread.
  // From now on it no longer counts as waiting to greet. False when it had greeted or ended already.
  bool dropIfSilent(std::string why);
  // Service side: the delegate's answer. Refuses a peer whose process has already exited.
  void finishAcceptance(bool accepted);

  // Sends the reply described by `reply`; called by ReplyBlock, from any thread.
  void sendReply(const ReplyState& reply, Arguments values);

 protected:
  void deliver(std::string_view selector, Arguments arguments, ReplyHandler onReply,
               std::shared_ptr<const ErrorHandler> onError) override;

 private:
  enum class Role : std::uint8_t { client, service };
  enum class Phase : std::uint8_t { suspended, connecting, open, interrupted, invalidated };
  enum class ReadMode : std::uint8_t { idle, awaitingHello, awaitingAcceptance, awaitingWelcome, open };

  using ErrorHandlerPtr = std::shared_ptr<const ErrorHandler>;

  struct QueuedFrame {
    wire::OutgoingFrame frame;
    ErrorHandlerPtr onError;  // for one-way messages; a message with a reply fails through pending_
  };
  struct PendingReply {
    ReplyHandler onReply;
    ErrorHandlerPtr onError;
    std::vector<ArgumentClass> classes;
  };

  std::shared_ptr<ConnectionImpl> self();
  std::size_t maxPayload() const noexcept;
  std::string describe() const;

  // Any thread.
  void invalidateWith(Error reason);
  void invalidateLocked(Error reason);  // under mutex_
  void failLater(ErrorHandlerPtr onError, Error error);
  void enqueue(QueuedFrame queued, std::unique_lock<std::mutex>& lock);
  void pumpLocked();
  // After the handshake: the connection is open and sends what it queued. False when it was invalidated first.
  bool openForMessages();
  void consumeLocked(std::size_t count);
  std::vector<ErrorHandlerPtr> takeFailuresLocked();

  // Strand only.
  void connect();
  void onConnected(std::uint64_t generation, const asio::error_code& error);
  void connectFailed(Error error, const std::string& detail);
  void openService();
  bool writeGreeting(wire::FrameKind kind);
  void startReading();
  // Whether a read or write of transport `generation` completed, on the current transport; a failed one ends it.
  bool completedOnCurrentTransport(std::uint64_t generation, const asio::error_code& error);
  void onRead(std::uint64_t generation, const asio::error_code& error, std::size_t count);
  void onReadable(std::uint64_t generation, const asio::error_code& error);
  void onLargeFrameRead(std::uint64_t generation, const asio::error_code& error);
  void readLargeFrame(std::uint64_t generation, const asio::error_code& error);
  // Reads what the socket holds without waiting. A service checks the sender of every chunk and, when it is
  // not the admitted peer, ends the connection (finalized_ is then set and nothing was read).
  std::size_t receive(std::uint8_t* into, std::size_t size, asio::error_code& error);
  void processInput();
  void handleFrame(wire::FrameKind kind, const Data& payload);
  void handleGreeting(wire::FrameKind kind, const Data& payload);
  void handleMessage(const Data& payload);
  void handleReply(const Data& payload);
  void startAsyncWrite(std::uint64_t generation);
  void onAsyncWritten(std::uint64_t generation, const asio::error_code& error, std::size_t count);
  void onTransportLost(std::uint64_t generation);
  void violation(wire::Status status, std::string_view detail = {});
  void leaveUngreeted() noexcept;
  void holdReadBuffer();
  void dropReadBuffer() noexcept;
  void dropLargeFrame() noexcept;
  void overBudget(std::size_t total, std::size_t budget) noexcept;
  void interrupt();
  void finalize(Error reason);
  void closeSocket();

  BudgetAccount budget_{[this](std::size_t total, std::size_t budget) { overBudget(total, budget); }};
  const LoopLease loop_;
  Strand strand_;
  const Role role_;
  const std::string serviceName_;
  const std::string directory_;
  const Limits limits_;
  const std::optional<PeerProcess> acceptedPeer_;  // service side: the peer as accepted
  std::atomic<pid_t> pid_{0};
  std::atomic<uid_t> uid_{static_cast<uid_t>(-1)};

  mutable std::mutex mutex_;
  Phase phase_ = Phase::suspended;
  Error reason_ = Error::none;
  bool resumeRequested_ = false;
  bool accepted_ = false;
  bool everOpened_ = false;
  std::optional<Interface> exportedInterface_;
  std::optional<Interface> remoteInterface_;
  std::shared_ptr<ExportedObject> exportedObject_;
  std::function<void()> invalidationHandler_;
  std::function<void()> interruptionHandler_;
  std::deque<QueuedFrame> queue_;
  std::size_t queuedBytes_ = 0;
  bool writing_ = false;  // an asynchronous write owns the front of the queue
  int fd_ = -1;           // the open socket for direct writes; -1 when not open
  std::unordered_map<std::uint64_t, PendingReply> pending_;
  std::uint64_t nextToken_ = 1;
  std::uint64_t generation_ = 0;  // changed on the strand, under mutex_, whenever the socket closes

  Socket socket_;
  asio::steady_timer handshakeTimer_;  // service: the time to greet; client: the wait before a new connect
  static constexpr std::chrono::milliseconds kFirstConnectRetryDelay{5};
  std::chrono::milliseconds connectRetryDelay_ = kFirstConnectRetryDelay;  // client, on the strand
  std::chrono::steady_clock::time_point firstConnectAttempt_;
  UniqueFd connectDirectory_;
  GreetedCallback onGreeted_;
  std::atomic<bool> awaitingGreeting_{false};
  std::shared_ptr<std::atomic<int>> ungreeted_;
  ReadMode readMode_ = ReadMode::idle;
  bool finalized_ = false;
  std::unique_ptr<std::uint8_t[]> readBuffer_;  // held only while bytes wait in it; none on an idle connection
  std::size_t readStart_ = 0;
  std::size_t readEnd_ = 0;
  std::shared_ptr<std::uint8_t[]> largeFrame_;
  std::size_t largeFrameLength_ = 0;
  std::size_t largeFrameCharged_ = 0;  // bytes of it charged to the buffer budget
  std::size_t largeFrameRead_ = 0;     // service side: bytes of the large frame read so far
  wire::FrameKind largeFrameKind_ = wire::FrameKind::message;
};

}  // namespace tessaly::xpc::detail
