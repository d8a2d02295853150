#include "tessaly/xpc/listener.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <asio/bind_executor.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <vector>

#include "connection_impl.h"
#include "runtime.h"
#include "service_address.h"
#include "socket_activation.h"
#include "tessaly/xpc/service_directory.h"
#include "unique_fd.h"
#include "xpc_log.h"

namespace tessaly::xpc::detail {
namespace {

constexpr std::string_view kCategory = "listener";
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};
// Out of descriptors with silent connections to drop: try again once they are gone.
constexpr std::chrono::milliseconds kEvictionDelay{10};
// Descriptors kept aside for the delegate: checking a peer's code opens a few files of its process and bundle.
constexpr std::size_t kDelegateDescriptors = 32;
// Silent connections dropped at once when accept finds no descriptor left.
constexpr std::size_t kEvictionsWhenExhausted = 16;
// A listener under a flood says so at most this often.
constexpr std::chrono::seconds kFloodLogInterval{10};

bool outOfDescriptors(const asio::error_code& error) {
  const int code = error.value();
  return error.category() == asio::error::get_system_category() &&
         (code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM);
}

std::string descriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return "unknown";
  return limit.rlim_cur == RLIM_INFINITY ? "unlimited" : std::to_string(limit.rlim_cur);
}

UniqueFd spareDescriptor() { return UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)); }

// Descriptors held in reserve and given up for a moment when they are needed, so that running out of
// descriptors never takes the last ones: the listener can still shed a connection, and a delegate can still
// read the files it checks a peer by.
class DescriptorReserve {
 public:
  explicit DescriptorReserve(std::size_t size) : size_(size) {}
  // Takes descriptors until the reserve is full; false when the process has none to spare.
  bool fill() {
    while (held_.size() < size_) {
      UniqueFd spare = spareDescriptor();
      if (!spare.valid()) return false;
      held_.push_back(std::move(spare));
    }
    return true;
  }
  void giveUp() { held_.clear(); }

 private:
  std::size_t size_;
  std::vector<UniqueFd> held_;
};

// The kernel then stamps every chunk a peer sends with the sending process (SCM_CREDENTIALS): the connection
// drops bytes from any process but the one it admitted. Accepted sockets inherit it from the listening one.
void askForCredentials(int fd) noexcept {
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
}

class ListenerImpl final : public Listener, public std::enable_shared_from_this<ListenerImpl> {
 public:
  ListenerImpl(Runtime& runtime, std::string serviceName, ServiceOptions options)
      : runtime_(runtime),
        strand_(asio::make_strand(runtime.listenerContext())),
        serviceName_(std::move(serviceName)),
        options_(std::move(options)),
        acceptor_(runtime.listenerContext()),
        retryTimer_(runtime.listenerContext()) {}

  void setDelegate(std::shared_ptr<ListenerDelegate> delegate) override {
    std::lock_guard lock(mutex_);
    if (state_ != State::invalidated) delegate_ = std::move(delegate);
  }

  Error resume() override {
    std::lock_guard lock(mutex_);
    if (state_ == State::listening) return Error::none;
    if (state_ == State::invalidated) return Error::connection_invalid;
    if (const Error published = publish(); published != Error::none) return published;
    state_ = State::listening;
    asio::post(strand_, [self = shared_from_this()] {
      self->delegateReserve_.fill();
      self->acceptNext();
    });
    return Error::none;
  }

  void invalidate() override {
    {
      std::lock_guard lock(mutex_);
      if (state_ == State::invalidated) return;
      const bool wasListening = state_ == State::listening;
      state_ = State::invalidated;
      delegate_.reset();
      if (wasListening) withdraw();
    }
    asio::post(strand_, [self = shared_from_this()] {
      asio::error_code ignored;
      self->acceptor_.close(ignored);
      self->retryTimer_.cancel();
    });
  }

  const std::string& serviceName() const noexcept override { return serviceName_; }

  std::string socketPath() const override {
    std::lock_guard lock(mutex_);
    return socketPath_;
  }

 private:
  enum class State { idle, listening, invalidated };

  // Under mutex_: takes the name's lock file, replaces a stale socket, binds and listens.
  Error publish() {
    if (!isValidServiceName(serviceName_)) return Error::invalid_service_name;
    const std::string directory = options_.directory.empty() ? serviceDirectory() : options_.directory;
    std::string problem;
    if (const Error prepared = preparePrivateDirectory(directory, &problem); prepared != Error::none) {
      logError(kCategory, serviceName_ + ": cannot publish: the service folder " + directory + " " + problem);
      return prepared;
    }
    const std::string path = directory + "/" + serviceName_;
    // Whoever holds the lock owns the name; the kernel releases it when its holder dies, which is what
    // tells a stale socket from a live one without connecting to it.
    UniqueFd lockFile(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lockFile.valid()) {
      logError(kCategory, serviceName_ + ": cannot publish: cannot open the lock file in " + directory + ": " +
                              std::strerror(errno));
      return Error::directory_unusable;
    }
    if (::flock(lockFile.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) {
        logError(kCategory, serviceName_ + ": cannot publish: another running listener holds the name in " + directory);
        return Error::service_in_use;
      }
      logError(kCategory, serviceName_ + ": cannot publish: cannot lock " + path + ".lock: " + std::strerror(errno));
      return Error::io_error;
    }
    // Started on demand by systemd: the socket unit made the socket and listens on it; take it as it is.
    if (std::optional<int> activated = takeActivatedSocket(serviceName_, path)) {
      return adopt(*activated, std::move(lockFile));
    }
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) {
      if (!S_ISSOCK(existing.st_mode)) {
        logError(kCategory, serviceName_ + ": " + path + " is not a socket; left alone");
        return Error::directory_unusable;
      }
      ::unlink(path.c_str());
      logInfo(kCategory, serviceName_ + ": replaced the stale socket of a listener that is gone");
    }
    std::optional<ServiceAddress> address = makeServiceAddress(directory, serviceName_);
    if (!address) return Error::directory_unusable;
    asio::error_code error;
    acceptor_.open(asio::local::stream_protocol(), error);
    // Programs this process starts (a URL opener, say) must not inherit the service's sockets.
    if (!error) ::fcntl(acceptor_.native_handle(), F_SETFD, FD_CLOEXEC);
    if (!error) askForCredentials(acceptor_.native_handle());
    if (!error) acceptor_.bind(address->endpoint, error);
    if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
      logError(kCategory, serviceName_ + ": cannot publish: cannot listen at " + path + ": " + error.message());
      asio::error_code ignored;
      acceptor_.close(ignored);
      return Error::io_error;
    }
    ::chmod(path.c_str(), 0600);
    struct stat bound {};
    if (::lstat(path.c_str(), &bound) == 0) {
      socketDevice_ = bound.st_dev;
      socketInode_ = bound.st_ino;
    }
    socketPath_ = path;
    lock_ = std::move(lockFile);
    return Error::none;
  }

  // Under mutex_: listens on a socket passed by systemd.
  Error adopt(int fd, UniqueFd lockFile) {
    asio::error_code error;
    acceptor_.assign(asio::local::stream_protocol(), fd, error);
    if (error) {
      ::close(fd);
      logError(kCategory, serviceName_ + ": cannot use the socket passed by systemd: " + error.message());
      return Error::io_error;
    }
    sockaddr_un address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        length > offsetof(sockaddr_un, sun_path)) {
      socketPath_.assign(address.sun_path, ::strnlen(address.sun_path, length - offsetof(sockaddr_un, sun_path)));
    }
    askForCredentials(fd);
    adopted_ = true;
    lock_ = std::move(lockFile);
    logInfo(kCategory, serviceName_ + ": listening on the socket passed by systemd at " + socketPath_);
    return Error::none;
  }

  // Under mutex_: removes our socket (not one that replaced it, nor one that systemd owns) and gives the
  // name up.
  void withdraw() {
    if (adopted_) {
      lock_.reset();
      return;
    }
    struct stat current {};
    if (::lstat(socketPath_.c_str(), &current) == 0 && current.st_dev == socketDevice_ &&
        current.st_ino == socketInode_) {
      ::unlink(socketPath_.c_str());
    }
    lock_.reset();
  }

  bool listening() const {
    std::lock_guard lock(mutex_);
    return state_ == State::listening;
  }

  void acceptNext() {
    if (!listening()) return;
    // The new socket belongs to the loop its connection will run on.
    auto lease = std::make_shared<LoopLease>(runtime_.leaseConnectionLoop(LoopRole::service));
    asio::io_context& context = lease->context();
    acceptor_.async_accept(context, asio::bind_executor(strand_, [self = shared_from_this(), lease](
                                                                     const asio::error_code& error, Socket socket) {
                             self->onAccepted(error, std::move(socket), std::move(*lease));
                           }));
  }

  void onAccepted(const asio::error_code& error, Socket socket, LoopLease lease) {
    if (!listening()) return;
    if (error) {
      if (error == asio::error::operation_aborted) return;
      if (outOfDescriptors(error)) {
        onOutOfDescriptors(error);
        return;
      }
      logError(kCategory, serviceName_ + ": accept failed: " + error.message());
      acceptLater(kAcceptRetryDelay);
      return;
    }
    if (exhausted_ && shed_ > 0) {
      logError(kCategory, serviceName_ + ": accepting again; " + std::to_string(shed_) +
                              " new connections were closed unread while this process was out of file descriptors");
    }
    exhausted_ = false;
    shed_ = 0;
    ::fcntl(socket.native_handle(), F_SETFD, FD_CLOEXEC);  // asio accepts without SOCK_CLOEXEC
    askForCredentials(socket.native_handle());
    std::optional<PeerProcess> peer = readPeerProcess(socket.native_handle());
    if (peer && !peer->pidfd.valid() && (peer->pidfdError == EMFILE || peer->pidfdError == ENFILE) && spare_.valid()) {
      // This connection took the last descriptor: its peer's pidfd gets the spare one, which comes back later.
      spare_.reset();
      peer = readPeerProcess(socket.native_handle());
      spare_ = spareDescriptor();
    }
    if (!peer) {
      logError(kCategory, serviceName_ + ": cannot read the peer's credentials; connection dropped");
    } else if (peer->uid != ::geteuid()) {
      logError(kCategory, serviceName_ + ": refused a peer of user " + std::to_string(peer->uid));
    } else if (!peer->pidfd.valid() && (peer->pidfdError == EMFILE || peer->pidfdError == ENFILE)) {
      // Without a pidfd a reused process identifier could not be told apart from the peer.
      logError(kCategory, serviceName_ + ": refused pid " + std::to_string(peer->pid) +
                              ": this process is out of file descriptors (limit " + descriptorLimit() + ")");
    } else {
      auto connection = std::make_shared<ConnectionImpl>(std::move(lease), serviceName_, options_.limits,
                                                         std::move(socket), std::move(*peer));
      std::weak_ptr<ListenerImpl> weak = weak_from_this();
      connection->beginHandshake(
          [weak](const std::shared_ptr<ConnectionImpl>& greeted) {
            if (std::shared_ptr<ListenerImpl> listener = weak.lock()) {
              asio::post(listener->strand_, [listener, greeted] { listener->decide(greeted); });
            } else {
              greeted->finishAcceptance(false);
            }
          },
          ungreetedCount_);
      ungreeted_.push_back(connection);
      capUngreeted();
    }
    acceptNext();
  }

  void acceptLater(std::chrono::milliseconds delay) {
    retryTimer_.expires_after(delay);
    retryTimer_.async_wait(asio::bind_executor(strand_, [self = shared_from_this()](const asio::error_code& e) {
      if (!e) self->acceptNext();
    }));
  }

  // On the strand: beyond the cap of connections that have not greeted, the oldest that have sent nothing go.
  void capUngreeted() {
    while (!ungreeted_.empty()) {  // forget the ones that greeted or ended, from the front
      const std::shared_ptr<ConnectionImpl> front = ungreeted_.front().lock();
      if (front && front->awaitingGreeting()) break;
      ungreeted_.pop_front();
    }
    if (ungreeted_.size() > 4 * options_.limits.maxUngreetedConnections + 64) {
      std::erase_if(ungreeted_, [](const std::weak_ptr<ConnectionImpl>& weak) {
        const std::shared_ptr<ConnectionImpl> connection = weak.lock();
        return !connection || !connection->awaitingGreeting();
      });
    }
    const int waiting = ungreetedCount_->load();
    if (waiting <= static_cast<int>(options_.limits.maxUngreetedConnections)) return;
    const std::string why = std::to_string(waiting) + " connections waiting to greet, more than the " +
                            std::to_string(options_.limits.maxUngreetedConnections) + " allowed";
    if (timeToSay(lastFloodLine_)) {
      logError(kCategory, serviceName_ + ": " + why + "; dropping the oldest that have sent nothing");
    }
    dropSilent(static_cast<std::size_t>(waiting) - options_.limits.maxUngreetedConnections, why);
  }

  // True, and `last` moved to now, when a line about a flood may be written again.
  static bool timeToSay(std::chrono::steady_clock::time_point& last) {
    const auto now = std::chrono::steady_clock::now();
    if (last != std::chrono::steady_clock::time_point{} && now - last < kFloodLogInterval) return false;
    last = now;
    return true;
  }

  // On the strand: asks up to `count` of the oldest connections that have not greeted to go if they have sent
  // nothing; returns how many were asked.
  std::size_t dropSilent(std::size_t count, const std::string& why) {
    std::size_t asked = 0;
    while (asked < count && !ungreeted_.empty()) {
      const std::shared_ptr<ConnectionImpl> oldest = ungreeted_.front().lock();
      ungreeted_.pop_front();
      if (oldest && oldest->dropIfSilent(why)) ++asked;
    }
    return asked;
  }

  // On the strand: accept failed for want of descriptors. Never a busy loop: each round either frees
  // descriptors or sheds one waiting connection, then waits a little before accepting again.
  void onOutOfDescriptors(const asio::error_code& error) {
    if (!exhausted_ && timeToSay(lastExhaustedLine_)) {
      logError(kCategory, serviceName_ + ": cannot accept: this process is out of file descriptors (" +
                              error.message() + ", limit " + descriptorLimit() +
                              "); dropping connections that have not greeted, then refusing new ones");
    }
    exhausted_ = true;
    if (dropSilent(kEvictionsWhenExhausted, "this process is out of file descriptors") > 0) {
      acceptLater(kEvictionDelay);
      return;
    }
    // Nobody to make room: take the next waiting connection with the spare descriptor and close it, so that
    // its peer hears at once instead of waiting in the backlog.
    spare_.reset();
    const int shed = ::accept4(acceptor_.native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (shed >= 0) {
      ::close(shed);
      ++shed_;
    }
    spare_ = spareDescriptor();
    acceptLater(kAcceptRetryDelay);
  }

  // On the listener's strand: asks the delegate about a connection whose peer has greeted us. The delegate gets
  // the reserved descriptors to work with; when not even those are left, the process is out of descriptors and
  // the connection is refused here, saying so, rather than by a delegate whose checks could not open a file.
  void decide(const std::shared_ptr<ConnectionImpl>& connection) {
    std::shared_ptr<ListenerDelegate> delegate;
    {
      std::lock_guard lock(mutex_);
      if (state_ == State::listening) delegate = delegate_;
    }
    bool accepted = false;
    if (delegate && !delegateReserve_.fill()) {
      logError(kCategory, serviceName_ + ": refused pid " + std::to_string(connection->processIdentifier()) +
                              " unchecked: this process is out of file descriptors (limit " + descriptorLimit() + ")");
      delegate.reset();
    }
    if (delegate) {
      delegateReserve_.giveUp();
      try {
        accepted = delegate->shouldAcceptNewConnection(*this, connection);
      } catch (const std::exception& e) {
        logError(kCategory, serviceName_ + ": delegate threw: " + e.what());
      } catch (...) { logError(kCategory, serviceName_ + ": delegate threw"); }
      delegateReserve_.fill();
    }
    connection->finishAcceptance(accepted);
  }

  Runtime& runtime_;
  Strand strand_;
  const std::string serviceName_;
  const ServiceOptions options_;

  mutable std::mutex mutex_;
  State state_ = State::idle;
  std::shared_ptr<ListenerDelegate> delegate_;
  std::string socketPath_;
  dev_t socketDevice_ = 0;
  ino_t socketInode_ = 0;
  UniqueFd lock_;
  bool adopted_ = false;  // the socket came from systemd, which keeps its path

  asio::local::stream_protocol::acceptor acceptor_;  // set up by resume, then used on the strand only
  asio::steady_timer retryTimer_;

  // On the strand: connections that have not greeted yet, oldest first (some may have greeted since), and
  // how many of them there are, kept by the connections themselves.
  std::deque<std::weak_ptr<ConnectionImpl>> ungreeted_;
  const std::shared_ptr<std::atomic<int>> ungreetedCount_ = std::make_shared<std::atomic<int>>(0);
  // On the strand: the spare descriptor for shedding connections, the delegate's reserve, and the state of an
  // episode without descriptors.
  UniqueFd spare_ = spareDescriptor();
  DescriptorReserve delegateReserve_{kDelegateDescriptors};
  bool exhausted_ = false;
  std::size_t shed_ = 0;
  std::chrono::steady_clock::time_point lastExhaustedLine_;
  std::chrono::steady_clock::time_point lastFloodLine_;
};

}  // namespace
}  // namespace tessaly::xpc::detail

namespace tessaly::xpc {

std::shared_ptr<Listener> Listener::create(std::string_view serviceName, ServiceOptions options) {
  return std::make_shared<detail::ListenerImpl>(detail::Runtime::shared(), std::string(serviceName),
                                                std::move(options));
}

}  // namespace tessaly::xpc
