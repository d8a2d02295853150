#include <sys/socket.h>

#include <asio/bind_executor.hpp>
#include <asio/buffer.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "connection_impl.h"
#include "service_address.h"
#include "tessaly/xpc/service_directory.h"
#include "xpc_log.h"

namespace tessaly::xpc {

std::shared_ptr<Connection> Connection::connectToService(std::string_view serviceName, ServiceOptions options) {
  return std::make_shared<detail::ConnectionImpl>(
      detail::Runtime::shared().leaseConnectionLoop(detail::LoopRole::client), std::string(serviceName),
      std::move(options));
}

RemoteProxy Connection::remoteObjectProxyWithErrorHandler(ErrorHandler onError) {
  return RemoteProxy(shared_from_this(), std::move(onError));
}

RemoteProxy::RemoteProxy(std::shared_ptr<Connection> connection, ErrorHandler onError)
    : connection_(std::move(connection)),
      onError_(onError ? std::make_shared<const ErrorHandler>(std::move(onError)) : nullptr) {}

void RemoteProxy::send(std::string_view selector, Arguments arguments) const {
  if (connection_) connection_->deliver(selector, std::move(arguments), nullptr, onError_);
}

void RemoteProxy::send(std::string_view selector, Arguments arguments, ReplyHandler onReply) const {
  if (!connection_) return;
  if (!onReply) onReply = [](const Arguments&) {};
  connection_->deliver(selector, std::move(arguments), std::move(onReply), onError_);
}

bool RemoteProxy::conformsTo(const Interface& interface) const {
  if (!connection_) return false;
  const std::optional<Interface> remote = connection_->remoteObjectInterface();
  return remote && *remote == interface;
}

}  // namespace tessaly::xpc

namespace tessaly::xpc::detail {
namespace {

constexpr std::string_view kCategory = "connection";
constexpr std::size_t kReadBufferSize = 64 * 1024;
constexpr std::size_t kWriteBatch = 64;  // iovecs per write
// How long a client keeps knocking at a service whose backlog is full, and how often.
constexpr std::chrono::seconds kBusyServicePatience{10};
constexpr std::chrono::milliseconds kLongestConnectRetryDelay{200};

template <typename Function, typename... Args>
void callUserCode(std::string_view what, const Function& function, Args&&... args) noexcept {
  if (!function) return;
  try {
    function(std::forward<Args>(args)...);
  } catch (const std::exception& e) { logError(kCategory, std::string(what) + " threw: " + e.what()); } catch (...) {
    logError(kCategory, std::string(what) + " threw");
  }
}

// Why a message's arguments do not fit `method`, or nullptr when they do.
const char* argumentMismatch(const MethodDeclaration* method, const Arguments& values, bool withReply) {
  if (method == nullptr) return "selector not in the remote object interface";
  if (method->hasReply() != withReply) {
    return withReply ? "reply handler for a method without a reply block" : "method needs a reply handler";
  }
  if (values.size() != method->valueCount()) return "wrong number of arguments";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (classOf(values[i]) != method->arguments[i]) return "argument of the wrong class";
  }
  return nullptr;
}

// Asks for the largest send buffer an unprivileged process may have (net.core.wmem_max, which the kernel
// doubles): a large message then crosses in fewer rounds of the writer waiting for the reader to drain.
void enlargeSendBuffer(int fd) noexcept {
  int size = 0;
  if (FILE* limit = std::fopen("/proc/sys/net/core/wmem_max", "r")) {
    if (std::fscanf(limit, "%d", &size) != 1) size = 0;
    std::fclose(limit);
  }
  if (size > 0) ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

// Storage of its own for one large incoming frame; nothing when there is no memory for it. (Taken from the
// heap, which keeps it for the next one: mapping each frame afresh made a 1 MiB round trip four times slower.
// What the heap keeps after a flood is given back by the buffer budget's trim.)
std::shared_ptr<std::uint8_t[]> allocateFrame(std::size_t length) noexcept {
  try {
    return std::make_shared_for_overwrite<std::uint8_t[]>(length);
  } catch (const std::bad_alloc&) { return nullptr; }
}

bool classesMatch(const Arguments& values, const std::vector<ArgumentClass>& classes) {
  if (values.size() != classes.size()) return false;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (classOf(values[i]) != classes[i]) return false;
  }
  return true;
}

}  // namespace

ConnectionImpl::ConnectionImpl(LoopLease loop, std::string serviceName, ServiceOptions options)
    : loop_(std::move(loop)),
      strand_(asio::make_strand(loop_.context())),
      role_(Role::client),
      serviceName_(std::move(serviceName)),
      directory_(options.directory.empty() ? serviceDirectory() : options.directory),
      limits_(options.limits),
      socket_(loop_.context()),
      handshakeTimer_(loop_.context()) {}

ConnectionImpl::ConnectionImpl(LoopLease loop, std::string serviceName, Limits limits, Socket socket, PeerProcess peer)
    : loop_(std::move(loop)),
      strand_(asio::make_strand(loop_.context())),
      role_(Role::service),
      serviceName_(std::move(serviceName)),
      limits_(limits),
      acceptedPeer_(std::move(peer)),
      socket_(std::move(socket)),
      handshakeTimer_(loop_.context()) {
  pid_ = acceptedPeer_->pid;
  uid_ = acceptedPeer_->uid;
}

ConnectionImpl::~ConnectionImpl() {
  budget_.close();
  leaveUngreeted();
}

std::shared_ptr<ConnectionImpl> ConnectionImpl::self() {
  return std::static_pointer_cast<ConnectionImpl>(shared_from_this());
}

std::size_t ConnectionImpl::maxPayload() const noexcept {
  return limits_.maxMessageSize < wire::kLargestPayload ? limits_.maxMessageSize : wire::kLargestPayload;
}

std::string ConnectionImpl::describe() const {
  return std::string(role_ == Role::client ? "connection to " : "connection of ") + serviceName_ + " (peer pid " +
         std::to_string(processIdentifier()) + ")";
}

// ---- configuration -------------------------------------------------------------------------------------

void ConnectionImpl::setExportedInterface(Interface interface) {
  std::lock_guard lock(mutex_);
  exportedInterface_ = std::move(interface);
}

void ConnectionImpl::setExportedObject(std::shared_ptr<ExportedObject> object) {
  std::lock_guard lock(mutex_);
  if (phase_ != Phase::invalidated) exportedObject_ = std::move(object);
}

void ConnectionImpl::setRemoteObjectInterface(Interface interface) {
  std::lock_guard lock(mutex_);
  remoteInterface_ = std::move(interface);
}

std::optional<Interface> ConnectionImpl::remoteObjectInterface() const {
  std::lock_guard lock(mutex_);
  return remoteInterface_;
}

void ConnectionImpl::setInvalidationHandler(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  if (phase_ != Phase::invalidated) invalidationHandler_ = std::move(handler);
}

void ConnectionImpl::setInterruptionHandler(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  if (phase_ != Phase::invalidated) interruptionHandler_ = std::move(handler);
}

Error ConnectionImpl::invalidationReason() const {
  std::lock_guard lock(mutex_);
  return phase_ == Phase::invalidated ? reason_ : Error::none;
}

// ---- lifecycle -----------------------------------------------------------------------------------------

void ConnectionImpl::resume() {
  std::unique_lock lock(mutex_);
  if (resumeRequested_ || phase_ == Phase::invalidated) return;
  resumeRequested_ = true;
  if (role_ == Role::client) {
    phase_ = Phase::connecting;
    lock.unlock();
    asio::post(strand_, [self = self()] { self->connect(); });
  } else if (accepted_) {
    lock.unlock();
    asio::post(strand_, [self = self()] { self->openService(); });
  }
}

void ConnectionImpl::invalidate() { invalidateWith(Error::connection_invalid); }

void ConnectionImpl::invalidateWith(Error reason) {
  std::lock_guard lock(mutex_);
  invalidateLocked(reason);
}

void ConnectionImpl::invalidateLocked(Error reason) {
  if (phase_ == Phase::invalidated) return;
  phase_ = Phase::invalidated;
  reason_ = reason;
  fd_ = -1;  // no sender writes from now on
  asio::post(strand_, [self = self(), reason] { self->finalize(reason); });
}

void ConnectionImpl::beginHandshake(GreetedCallback onGreeted, std::shared_ptr<std::atomic<int>> ungreeted) {
  ungreeted_ = std::move(ungreeted);
  if (ungreeted_) ungreeted_->fetch_add(1);
  awaitingGreeting_ = true;
  asio::post(strand_, [self = self(), onGreeted = std::move(onGreeted)]() mutable {
    if (self->finalized_) return;
    self->onGreeted_ = std::move(onGreeted);
    self->readMode_ = ReadMode::awaitingHello;
    self->handshakeTimer_.expires_after(self->limits_.handshakeTimeout);
    self->handshakeTimer_.async_wait(asio::bind_executor(self->strand_, [self](const asio::error_code& error) {
      if (error || self->finalized_ || self->readMode_ != ReadMode::awaitingHello) return;
      self->violation({Error::protocol_violation, "no greeting before the handshake timeout"});
    }));
    self->startReading();
  });
}

void ConnectionImpl::leaveUngreeted() noexcept {
  if (awaitingGreeting_.exchange(false) && ungreeted_) ungreeted_->fetch_sub(1);
}

bool ConnectionImpl::dropIfSilent(std::string why) {
  // It stops counting as waiting to greet at once, so that the listener does not ask more to go than needed.
  if (!awaitingGreeting_.exchange(false)) return false;
  if (ungreeted_) ungreeted_->fetch_sub(1);
  asio::post(strand_, [self = self(), why = std::move(why)] {
    if (self->finalized_ || self->readMode_ != ReadMode::awaitingHello) return;
    std::uint8_t probe;
    if (self->readEnd_ > self->readStart_ ||
        ::recv(self->socket_.native_handle(), &probe, 1, MSG_PEEK | MSG_DONTWAIT) > 0) {
      return;  // it is greeting
    }
    // One line each at most: the listener says why, once for all of them.
    logInfo(kCategory, self->describe() + ": dropped before it greeted: " + why);
    self->finalize(Error::connection_refused);
  });
  return true;
}

void ConnectionImpl::overBudget(std::size_t total, std::size_t budget) noexcept {
  // Under the budget's lock: only hand the work on.
  std::shared_ptr<Connection> alive = weak_from_this().lock();
  if (!alive) return;
  const std::size_t held = budget_.held();
  asio::post(strand_, [self = std::static_pointer_cast<ConnectionImpl>(alive), total, budget, held] {
    logError(kCategory, self->describe() + ": invalidated: it held " + std::to_string(held) + " of the " +
                            std::to_string(total) + " bytes buffered in this process, over the budget of " +
                            std::to_string(budget));
    self->invalidateWith(Error::queue_limit_exceeded);
  });
}

void ConnectionImpl::holdReadBuffer() {
  if (readBuffer_) return;
  readBuffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(kReadBufferSize);
  budget_.charge(kReadBufferSize);
}

void ConnectionImpl::dropReadBuffer() noexcept {
  if (!readBuffer_) return;
  readBuffer_.reset();
  budget_.release(kReadBufferSize);
}

void ConnectionImpl::dropLargeFrame() noexcept {
  largeFrame_.reset();
  budget_.release(largeFrameCharged_);
  largeFrameCharged_ = 0;
}

void ConnectionImpl::finishAcceptance(bool accepted) {
  if (accepted && acceptedPeer_ && acceptedPeer_->hasExited()) {
    // The checks the delegate made by process identifier may have been about another process.
    logError(kCategory, describe() + ": peer exited before it was accepted; refused");
    accepted = false;
  }
  if (!accepted) {
    invalidateWith(Error::connection_refused);
    return;
  }
  std::unique_lock lock(mutex_);
  if (phase_ == Phase::invalidated) return;
  accepted_ = true;
  if (!resumeRequested_) return;
  lock.unlock();
  asio::post(strand_, [self = self()] { self->openService(); });
}

void ConnectionImpl::connect() {
  if (finalized_) return;
  {
    std::lock_guard lock(mutex_);
    if (phase_ != Phase::connecting) return;
  }
  if (connectRetryDelay_ == kFirstConnectRetryDelay) firstConnectAttempt_ = std::chrono::steady_clock::now();
  Error problem = isValidServiceName(serviceName_) ? checkPrivateDirectory(directory_) : Error::invalid_service_name;
  std::optional<ServiceAddress> address;
  if (problem == Error::none) {
    address = makeServiceAddress(directory_, serviceName_);
    if (!address) problem = Error::directory_unusable;
  }
  if (problem != Error::none) {
    connectFailed(problem, directory_);
    return;
  }
  socket_ = Socket(loop_.context());
  // Opened here rather than by async_connect, so that programs this process starts do not inherit it.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  asio::error_code assigned;
  if (fd >= 0) socket_.assign(asio::local::stream_protocol(), fd, assigned);
  if (fd < 0 || assigned) {
    if (fd >= 0) ::close(fd);
    connectFailed(Error::io_error, "cannot make a socket");
    return;
  }
  connectDirectory_ = std::move(address->directory);
  socket_.async_connect(
      address->endpoint,
      asio::bind_executor(strand_, [self = self(), generation = generation_](const asio::error_code& e) {
        self->onConnected(generation, e);
      }));
}

void ConnectionImpl::onConnected(std::uint64_t generation, const asio::error_code& error) {
  connectDirectory_.reset();
  if (generation != generation_ || finalized_) return;
  if (error) {
    // A service flooded with connections has a full backlog for a while: the kernel turns a connect away at
    // once (EAGAIN, ENOBUFS) instead of making it wait. Knock again, a little later each time, for a while.
    const bool busy =
        error == asio::error::try_again || error == asio::error::would_block || error == asio::error::no_buffer_space;
    const auto waited = std::chrono::steady_clock::now() - firstConnectAttempt_;
    if (busy && waited < kBusyServicePatience) {
      closeSocket();
      connectRetryDelay_ = std::min(connectRetryDelay_ * 2, kLongestConnectRetryDelay);
      handshakeTimer_.expires_after(connectRetryDelay_);
      handshakeTimer_.async_wait(asio::bind_executor(strand_, [self = self()](const asio::error_code& e) {
        if (!e) self->connect();
      }));
      return;
    }
    connectFailed(Error::service_unavailable, error.message());
    return;
  }
  connectRetryDelay_ = kFirstConnectRetryDelay;
  enlargeSendBuffer(socket_.native_handle());
  if (std::optional<PeerProcess> peer = readPeerProcess(socket_.native_handle())) {
    pid_ = peer->pid;
    uid_ = peer->uid;
  }
  if (!writeGreeting(wire::FrameKind::hello)) {
    closeSocket();
    connectFailed(Error::io_error, "cannot greet the service");
    return;
  }
  readMode_ = ReadMode::awaitingWelcome;
  startReading();
}

void ConnectionImpl::connectFailed(Error error, const std::string& detail) {
  connectRetryDelay_ = kFirstConnectRetryDelay;
  logError(kCategory, describe() + ": cannot connect: " + std::string(xpc::describe(error)) + " (" + detail + ")");
  std::vector<ErrorHandlerPtr> failures;
  bool everOpened;
  {
    std::lock_guard lock(mutex_);
    everOpened = everOpened_;
    if (everOpened) {
      failures = takeFailuresLocked();
      if (phase_ == Phase::connecting) phase_ = Phase::interrupted;  // the next message tries again
    }
  }
  if (!everOpened) {
    // The name could not be reached at all: like a failed look-up, this invalidates the connection.
    finalize(error);
    return;
  }
  for (const ErrorHandlerPtr& onError : failures) callUserCode("error handler", *onError, error);
}

void ConnectionImpl::openService() {
  if (finalized_) return;
  // A client holds its messages until the welcome. Bytes already there were sent before the peer was checked,
  // possibly by the program that ran under this process identifier before the one that was checked.
  std::uint8_t probe;
  if (readEnd_ > readStart_ || ::recv(socket_.native_handle(), &probe, 1, MSG_PEEK | MSG_DONTWAIT) > 0) {
    violation({Error::protocol_violation, "bytes sent before the welcome"});
    return;
  }
  enlargeSendBuffer(socket_.native_handle());
  if (!writeGreeting(wire::FrameKind::welcome)) {
    finalize(Error::peer_disconnected);
    return;
  }
  if (!openForMessages()) return;
  readMode_ = ReadMode::open;
  processInput();
}

bool ConnectionImpl::openForMessages() {
  std::lock_guard lock(mutex_);
  if (phase_ == Phase::invalidated) return false;
  phase_ = Phase::open;
  everOpened_ = true;
  fd_ = socket_.native_handle();
  pumpLocked();  // messages queued before the handshake go out now
  return true;
}

bool ConnectionImpl::writeGreeting(wire::FrameKind kind) {
  // The socket is new and its buffer empty, so the few bytes of a greeting go out in one call.
  const std::string greeting = wire::OutgoingFrame::greeting(kind).flatten();
  const ssize_t sent = ::send(socket_.native_handle(), greeting.data(), greeting.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  return sent == static_cast<ssize_t>(greeting.size());
}

void ConnectionImpl::onTransportLost(std::uint64_t generation) {
  if (generation != generation_ || finalized_) return;
  if (role_ == Role::service) {
    finalize(Error::peer_disconnected);
  } else if (readMode_ == ReadMode::awaitingWelcome) {
    finalize(Error::connection_refused);  // the service closed before welcoming us
  } else {
    interrupt();
  }
}

void ConnectionImpl::violation(wire::Status status, std::string_view detail) {
  std::string line = describe() + ": invalidated: " + std::string(status.reason);
  if (!detail.empty()) line += " (" + std::string(detail) + ")";
  logError(kCategory, line);
  finalize(status.error);
}

void ConnectionImpl::closeSocket() {
  {
    std::lock_guard lock(mutex_);
    fd_ = -1;
    ++generation_;
  }
  // Closing cancels the pending reads and writes; asio guarantees none of them touches its buffers after.
  asio::error_code ignored;
  socket_.shutdown(asio::socket_base::shutdown_both, ignored);
  socket_.close(ignored);
  readMode_ = ReadMode::idle;
  readStart_ = readEnd_ = 0;
  dropLargeFrame();
}

void ConnectionImpl::interrupt() {
  closeSocket();
  std::vector<ErrorHandlerPtr> failures;
  std::function<void()> onInterrupted;
  {
    std::lock_guard lock(mutex_);
    failures = takeFailuresLocked();
    if (phase_ != Phase::invalidated) phase_ = Phase::interrupted;
    onInterrupted = interruptionHandler_;
  }
  logInfo(kCategory, describe() + ": interrupted");
  for (const ErrorHandlerPtr& onError : failures)
    callUserCode("error handler", *onError, Error::connection_interrupted);
  callUserCode("interruption handler", onInterrupted);
}

void ConnectionImpl::finalize(Error reason) {
  if (finalized_) return;
  finalized_ = true;
  {
    std::lock_guard lock(mutex_);
    if (phase_ != Phase::invalidated) reason_ = reason;
    phase_ = Phase::invalidated;
  }
  handshakeTimer_.cancel();
  closeSocket();
  std::vector<ErrorHandlerPtr> failures;
  std::function<void()> onInvalidated;
  std::shared_ptr<ExportedObject> object;
  {
    std::lock_guard lock(mutex_);
    failures = takeFailuresLocked();
    onInvalidated = std::move(invalidationHandler_);
    invalidationHandler_ = nullptr;
    interruptionHandler_ = nullptr;
    object = std::move(exportedObject_);
    exportedObject_ = nullptr;
  }
  onGreeted_ = nullptr;
  leaveUngreeted();
  dropReadBuffer();
  logInfo(kCategory, describe() + ": invalidated: " + std::string(xpc::describe(reason)));
  for (const ErrorHandlerPtr& onError : failures) callUserCode("error handler", *onError, Error::connection_invalid);
  callUserCode("invalidation handler", onInvalidated);
  // The exported object, the handlers and anything they hold are released here, off every lock.
}

// ---- reading -------------------------------------------------------------------------------------------

void ConnectionImpl::startReading() {
  if (readStart_ == readEnd_) {
    // Nothing waits in the buffer: give it up and wait for the next bytes without one, so that an idle
    // connection costs little memory. A service keeps thousands of them.
    dropReadBuffer();
    readStart_ = readEnd_ = 0;
    // The event loop reports readiness on edges, so bytes that came while nothing waited for them raise no
    // new event: look before waiting.
    std::uint8_t probe;
    const ssize_t peeked = ::recv(socket_.native_handle(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      socket_.async_wait(
          asio::socket_base::wait_read,
          asio::bind_executor(strand_, [self = self(), generation = generation_](const asio::error_code& error) {
            self->onReadable(generation, error);
          }));
    } else {
      // Bytes, the end of the stream or an error: onReadable reads whichever it is.
      asio::post(strand_, [self = self(), generation = generation_] { self->onReadable(generation, {}); });
    }
    return;
  }
  // Part of a frame is here; read the rest into the same buffer.
  if (role_ == Role::service) {
    // A service reads every byte through recvmsg, which tells who sent it (see receive).
    socket_.async_wait(
        asio::socket_base::wait_read,
        asio::bind_executor(strand_, [self = self(), generation = generation_](const asio::error_code& error) {
          self->onReadable(generation, error);
        }));
    return;
  }
  socket_.async_read_some(asio::buffer(readBuffer_.get() + readEnd_, kReadBufferSize - readEnd_),
                          asio::bind_executor(strand_, [self = self(), generation = generation_](
                                                           const asio::error_code& error, std::size_t count) {
                            self->onRead(generation, error, count);
                          }));
}

bool ConnectionImpl::completedOnCurrentTransport(std::uint64_t generation, const asio::error_code& error) {
  if (generation != generation_ || finalized_) return false;
  if (error) {
    onTransportLost(generation);
    return false;
  }
  return true;
}

void ConnectionImpl::onReadable(std::uint64_t generation, const asio::error_code& error) {
  if (!completedOnCurrentTransport(generation, error)) return;
  asio::error_code readError;
  if (!socket_.non_blocking()) socket_.non_blocking(true, readError);
  holdReadBuffer();
  const std::size_t count = receive(readBuffer_.get() + readEnd_, kReadBufferSize - readEnd_, readError);
  if (finalized_) return;
  if (readError == asio::error::would_block || readError == asio::error::try_again) {
    startReading();
    return;
  }
  onRead(generation, readError, count);
}

std::size_t ConnectionImpl::receive(std::uint8_t* into, std::size_t size, asio::error_code& error) {
  if (role_ == Role::client) return socket_.read_some(asio::buffer(into, size), error);
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
  iovec vector{into, size};
  msghdr message{};
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t got;
  do {
    got = ::recvmsg(socket_.native_handle(), &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    error = asio::error_code(errno, asio::error::get_system_category());
    return 0;
  }
  if (got == 0) {
    error = asio::error::eof;
    return 0;
  }
  error = {};
  // The kernel stamps every chunk with its sender and never joins chunks of different senders in one read.
  // Bytes from any process but the one the listener admitted (a child that kept the socket, a tracer that took
  // it) end the connection, and so do bytes after the admitted process ended, whose identifier may be reused.
  const ucred* sender = nullptr;
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_CREDENTIALS &&
        header->cmsg_len == CMSG_LEN(sizeof(ucred))) {
      sender = reinterpret_cast<const ucred*>(CMSG_DATA(header));
    }
  }
  // A peer that connected while the listening socket did not yet ask for credentials (a socket handed over by
  // socket activation, before this process set the option) may have sent its greeting unstamped. Only the
  // greeting may come so: it carries nothing, anything after it before the welcome ends the connection, and the
  // accepted socket asks for credentials itself, so every later chunk is stamped.
  const bool unstamped = sender == nullptr || sender->pid == 0;
  if (unstamped && readMode_ == ReadMode::awaitingHello) return static_cast<std::size_t>(got);
  if (sender == nullptr || sender->pid != acceptedPeer_->pid || sender->uid != acceptedPeer_->uid) {
    violation({Error::protocol_violation, "bytes from a process other than the admitted peer"},
              sender == nullptr ? "no credentials" : "sender pid " + std::to_string(sender->pid));
    return 0;
  }
  if (readMode_ == ReadMode::open && acceptedPeer_->hasExited()) {  // before, acceptance itself checks this
    violation({Error::protocol_violation, "bytes after the admitted peer exited"});
    return 0;
  }
  return static_cast<std::size_t>(got);
}

void ConnectionImpl::onRead(std::uint64_t generation, const asio::error_code& error, std::size_t count) {
  if (!completedOnCurrentTransport(generation, error)) return;
  readEnd_ += count;
  processInput();
}

void ConnectionImpl::onLargeFrameRead(std::uint64_t generation, const asio::error_code& error) {
  if (!completedOnCurrentTransport(generation, error)) return;
  const std::uint8_t* bytes = largeFrame_.get();
  const Data payload(std::shared_ptr<const void>(largeFrame_), bytes, largeFrameLength_);
  dropLargeFrame();  // the frame is whole: from now on it is the receiver's, no longer an incomplete frame
  handleFrame(largeFrameKind_, payload);
  processInput();
}

void ConnectionImpl::readLargeFrame(std::uint64_t generation, const asio::error_code& error) {
  if (!completedOnCurrentTransport(generation, error)) return;
  while (largeFrameRead_ < largeFrameLength_) {
    asio::error_code readError;
    const std::size_t count =
        receive(largeFrame_.get() + largeFrameRead_, largeFrameLength_ - largeFrameRead_, readError);
    if (finalized_) return;
    if (readError == asio::error::would_block || readError == asio::error::try_again) {
      socket_.async_wait(asio::socket_base::wait_read,
                         asio::bind_executor(strand_, [self = self(), generation](const asio::error_code& e) {
                           self->readLargeFrame(generation, e);
                         }));
      return;
    }
    if (readError) {
      onTransportLost(generation);
      return;
    }
    largeFrameRead_ += count;
    largeFrameCharged_ += count;
    budget_.charge(count);
  }
  onLargeFrameRead(generation, {});
}

void ConnectionImpl::processInput() {
  while (!finalized_) {
    if (readMode_ == ReadMode::awaitingAcceptance || readMode_ == ReadMode::idle) return;
    const std::size_t available = readEnd_ - readStart_;
    if (available < wire::kHeaderSize) break;
    const std::uint8_t* start = readBuffer_.get() + readStart_;
    wire::FrameHeader header;
    if (wire::Status status = wire::parseHeader(start, maxPayload(), header); !status.ok()) {
      violation(status);
      return;
    }
    const std::size_t total = wire::kHeaderSize + header.length;
    if (available >= total) {
      const Data payload = Data::copy(start + wire::kHeaderSize, header.length);
      readStart_ += total;
      handleFrame(header.kind, payload);
      continue;
    }
    if (total > kReadBufferSize) {
      // A frame larger than the read buffer is read straight into storage of its own, which then backs
      // the data arguments handed to the exported object.
      const std::size_t have = available - wire::kHeaderSize;
      largeFrame_ = allocateFrame(header.length);
      if (!largeFrame_) {
        violation({Error::io_error, "no memory for a large frame"}, std::to_string(header.length) + " bytes");
        return;
      }
      std::memcpy(largeFrame_.get(), start + wire::kHeaderSize, have);
      largeFrameKind_ = header.kind;
      largeFrameLength_ = header.length;
      readStart_ = readEnd_ = 0;
      if (role_ == Role::service) {
        // Charged as it arrives: a peer that announces a large frame holds only what it has sent.
        largeFrameRead_ = have;
        largeFrameCharged_ = have;
        budget_.charge(have);
        readLargeFrame(generation_, {});
        return;
      }
      largeFrameCharged_ = header.length;  // read in one go below
      budget_.charge(header.length);
      asio::async_read(socket_, asio::buffer(largeFrame_.get() + have, header.length - have),
                       asio::bind_executor(strand_, [self = self(), generation = generation_](
                                                        const asio::error_code& error, std::size_t) {
                         self->onLargeFrameRead(generation, error);
                       }));
      return;
    }
    break;
  }
  if (finalized_) return;
  if (readStart_ > 0) {
    std::memmove(readBuffer_.get(), readBuffer_.get() + readStart_, readEnd_ - readStart_);
    readEnd_ -= readStart_;
    readStart_ = 0;
  }
  startReading();
}

void ConnectionImpl::handleFrame(wire::FrameKind kind, const Data& payload) {
  switch (readMode_) {
    case ReadMode::awaitingHello:
    case ReadMode::awaitingWelcome:
      handleGreeting(kind, payload);
      return;
    case ReadMode::open:
      break;
    case ReadMode::idle:
    case ReadMode::awaitingAcceptance:
      return;
  }
  switch (kind) {
    case wire::FrameKind::message:
      handleMessage(payload);
      break;
    case wire::FrameKind::reply:
      handleReply(payload);
      break;
    case wire::FrameKind::hello:
    case wire::FrameKind::welcome:
      violation({Error::malformed_frame, "greeting after the handshake"});
      break;
  }
}

void ConnectionImpl::handleGreeting(wire::FrameKind kind, const Data& payload) {
  const bool service = readMode_ == ReadMode::awaitingHello;
  if (kind != (service ? wire::FrameKind::hello : wire::FrameKind::welcome)) {
    violation({Error::malformed_frame, "first frame is not a greeting"});
    return;
  }
  if (wire::Status status = wire::checkGreeting(payload); !status.ok()) {
    violation(status);
    return;
  }
  if (service) {
    handshakeTimer_.cancel();
    leaveUngreeted();
    readMode_ = ReadMode::awaitingAcceptance;  // nothing more is read until the delegate has accepted
    GreetedCallback onGreeted = std::move(onGreeted_);
    onGreeted_ = nullptr;
    if (onGreeted) onGreeted(self());
    return;
  }
  readMode_ = ReadMode::open;
  openForMessages();
}

void ConnectionImpl::handleMessage(const Data& payload) {
  wire::IncomingMessage message;
  if (wire::Status status = wire::decodeMessage(payload, message); !status.ok()) {
    violation(status);
    return;
  }
  std::optional<Interface> exported;
  std::shared_ptr<ExportedObject> object;
  {
    std::lock_guard lock(mutex_);
    exported = exportedInterface_;
    object = exportedObject_;
  }
  if (!exported) {
    violation({Error::protocol_violation, "message on a connection that exports no interface"}, message.selector);
    return;
  }
  const MethodDeclaration* method = exported->find(message.selector);
  if (method == nullptr) {
    violation({Error::protocol_violation, "unknown selector"}, message.selector);
    return;
  }
  if (message.classes != method->arguments) {
    std::string_view reason = "argument classes do not match the declaration";
    if (message.replyToken != 0 && !method->hasReply()) reason = "reply block where none is declared";
    if (message.replyToken == 0 && method->hasReply()) reason = "declared reply block missing";
    violation({Error::protocol_violation, reason}, message.selector);
    return;
  }
  ReplyBlock reply;
  if (message.replyToken != 0) {
    auto state = std::make_shared<ReplyState>();
    state->connection = self();
    state->token = message.replyToken;
    state->generation = generation_;
    state->classes = method->replyArguments;
    reply = ReplyBlock(std::move(state));
  }
  if (!object) {
    logError(kCategory, describe() + ": no exported object; \"" + message.selector + "\" dropped");
    return;
  }
  Invocation invocation(shared_from_this(), *exported, *method, std::move(message.values), std::move(reply));
  try {
    object->invoke(invocation);
  } catch (const std::exception& e) {
    logError(kCategory, describe() + ": \"" + message.selector + "\" threw: " + e.what());
  } catch (...) { logError(kCategory, describe() + ": \"" + message.selector + "\" threw"); }
}

void ConnectionImpl::handleReply(const Data& payload) {
  wire::IncomingReply reply;
  if (wire::Status status = wire::decodeReply(payload, reply); !status.ok()) {
    violation(status);
    return;
  }
  ReplyHandler onReply;
  {
    std::unique_lock lock(mutex_);
    const auto found = pending_.find(reply.token);
    if (found == pending_.end()) {
      lock.unlock();
      violation({Error::protocol_violation, "reply to no outstanding message"});
      return;
    }
    if (found->second.classes != reply.classes) {
      lock.unlock();
      violation({Error::protocol_violation, "reply arguments do not match the declaration"});
      return;
    }
    onReply = std::move(found->second.onReply);
    pending_.erase(found);
  }
  callUserCode("reply handler", onReply, reply.values);
}

// ---- writing -------------------------------------------------------------------------------------------

void ConnectionImpl::deliver(std::string_view selector, Arguments arguments, ReplyHandler onReply,
                             ErrorHandlerPtr onError) {
  const bool withReply = onReply != nullptr;
  const std::optional<Interface> remote = remoteObjectInterface();
  const MethodDeclaration* method = remote ? remote->find(selector) : nullptr;
  if (const char* problem = argumentMismatch(method, arguments, withReply)) {
    logError(kCategory, describe() + ": not sent: \"" + std::string(selector) + "\": " + problem);
    failLater(std::move(onError), Error::invalid_arguments);
    return;
  }
  if (wire::messagePayloadSize(selector, arguments, withReply) > maxPayload()) {
    logError(kCategory, describe() + ": \"" + std::string(selector) + "\" exceeds the maximum message size");
    failLater(std::move(onError), Error::message_too_large);
    invalidateWith(Error::message_too_large);
    return;
  }
  std::unique_lock lock(mutex_);
  if (phase_ == Phase::invalidated) {
    lock.unlock();
    failLater(std::move(onError), Error::connection_invalid);
    return;
  }
  bool reconnect = false;
  if (phase_ == Phase::interrupted) {
    phase_ = Phase::connecting;  // the next message after an interruption reconnects
    reconnect = true;
  }
  const std::uint64_t token = withReply ? nextToken_++ : 0;
  if (withReply) pending_.emplace(token, PendingReply{std::move(onReply), onError, method->replyArguments});
  enqueue({wire::OutgoingFrame::message(token, selector, std::move(arguments)), withReply ? nullptr : onError}, lock);
  if (reconnect) asio::post(strand_, [self = self()] { self->connect(); });
}

void ConnectionImpl::sendReply(const ReplyState& reply, Arguments values) {
  if (!classesMatch(values, reply.classes)) {
    logError(kCategory, describe() + ": reply does not fit its declaration; not sent");
    return;
  }
  if (wire::replyPayloadSize(values) > maxPayload()) {
    logError(kCategory, describe() + ": reply exceeds the maximum message size");
    invalidateWith(Error::message_too_large);
    return;
  }
  std::unique_lock lock(mutex_);
  if (phase_ != Phase::open || generation_ != reply.generation) return;  // nobody left to answer
  enqueue({wire::OutgoingFrame::reply(reply.token, std::move(values)), nullptr}, lock);
}

void ConnectionImpl::enqueue(QueuedFrame queued, std::unique_lock<std::mutex>& lock) {
  queuedBytes_ += queued.frame.size();
  budget_.charge(queued.frame.size());
  queue_.push_back(std::move(queued));
  pumpLocked();
  if (queuedBytes_ <= limits_.maxQueuedBytes) return;
  // Decided under the lock, so that the frames waiting now are the ones that fail.
  const std::size_t waiting = queuedBytes_;
  invalidateLocked(Error::queue_limit_exceeded);
  lock.unlock();
  logError(kCategory, describe() + ": " + std::to_string(waiting) +
                          " bytes waiting toward a peer that does not read; invalidated");
}

void ConnectionImpl::pumpLocked() {
  if (phase_ != Phase::open || fd_ < 0 || writing_) return;
  iovec vectors[kWriteBatch];
  while (!queue_.empty()) {
    std::size_t count = 0;
    for (auto it = queue_.begin(); it != queue_.end() && count < kWriteBatch; ++it) {
      count += it->frame.gather(vectors + count, kWriteBatch - count);
    }
    msghdr message{};
    message.msg_iov = vectors;
    message.msg_iovlen = count;
    const ssize_t sent = ::sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent >= 0) {
      consumeLocked(static_cast<std::size_t>(sent));
      continue;
    }
    if (errno == EINTR) continue;
    writing_ = true;
    const std::uint64_t generation = generation_;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      asio::post(strand_, [self = self(), generation] { self->startAsyncWrite(generation); });
    } else {
      asio::post(strand_, [self = self(), generation] { self->onTransportLost(generation); });
    }
    return;
  }
}

void ConnectionImpl::consumeLocked(std::size_t count) {
  queuedBytes_ -= count;
  budget_.release(count);
  while (!queue_.empty()) {
    count -= queue_.front().frame.consume(count);
    if (!queue_.front().frame.finished()) break;
    queue_.pop_front();
    if (count == 0) break;
  }
}

void ConnectionImpl::startAsyncWrite(std::uint64_t generation) {
  if (generation != generation_ || finalized_) return;
  std::vector<asio::const_buffer> buffers;
  {
    std::lock_guard lock(mutex_);
    if (phase_ != Phase::open || queue_.empty()) {
      writing_ = false;
      return;
    }
    iovec vectors[kWriteBatch];
    std::size_t count = 0;
    for (auto it = queue_.begin(); it != queue_.end() && count < kWriteBatch; ++it) {
      count += it->frame.gather(vectors + count, kWriteBatch - count);
    }
    buffers.reserve(count);
    for (std::size_t i = 0; i < count; ++i) buffers.emplace_back(vectors[i].iov_base, vectors[i].iov_len);
  }
  // Waits for the peer to read; the frames stay in place meanwhile, since only this write consumes them.
  socket_.async_write_some(buffers, asio::bind_executor(strand_, [self = self(), generation](
                                                                     const asio::error_code& error, std::size_t count) {
                             self->onAsyncWritten(generation, error, count);
                           }));
}

void ConnectionImpl::onAsyncWritten(std::uint64_t generation, const asio::error_code& error, std::size_t count) {
  if (!completedOnCurrentTransport(generation, error)) return;
  std::lock_guard lock(mutex_);
  consumeLocked(count);
  writing_ = false;
  pumpLocked();
}

std::vector<ConnectionImpl::ErrorHandlerPtr> ConnectionImpl::takeFailuresLocked() {
  std::vector<ErrorHandlerPtr> failures;
  for (const QueuedFrame& queued : queue_) {
    if (queued.onError) failures.push_back(queued.onError);
  }
  for (const auto& [token, pending] : pending_) {
    if (pending.onError) failures.push_back(pending.onError);
  }
  queue_.clear();
  pending_.clear();
  budget_.release(queuedBytes_);
  queuedBytes_ = 0;
  writing_ = false;
  return failures;
}

void ConnectionImpl::failLater(ErrorHandlerPtr onError, Error error) {
  if (!onError) return;
  asio::post(strand_, [onError = std::move(onError), error] { callUserCode("error handler", *onError, error); });
}

}  // namespace tessaly::xpc::detail
