#include "tessaly/xpc/listener.h"

#include <fcntl.h>
#include <sys/file.h>
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
#include <exception>
#include <mutex>

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
    asio::post(strand_, [self = shared_from_this()] { self->acceptNext(); });
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
    if (const Error prepared = preparePrivateDirectory(directory); prepared != Error::none) {
      logError(kCategory, serviceName_ + ": unusable service directory " + directory);
      return prepared;
    }
    const std::string path = directory + "/" + serviceName_;
    // Whoever holds the lock owns the name; the kernel releases it when its holder dies, which is what
    // tells a stale socket from a live one without connecting to it.
    UniqueFd lockFile(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lockFile.valid()) {
      logError(kCategory, serviceName_ + ": cannot open the lock file in " + directory);
      return Error::directory_unusable;
    }
    if (::flock(lockFile.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return Error::service_in_use;
      return Error::io_error;
    }
    // Started on demand by systemd: the socket unit made the socket and listens on it; take it as it is.
    if (std::optional<int> activated = takeActivatedSocket(serviceName_)) return adopt(*activated, std::move(lockFile));
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
      logError(kCategory, serviceName_ + ": cannot listen: " + error.message());
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
      // Out of descriptors, typically: wait a little rather than spin.
      logError(kCategory, serviceName_ + ": accept failed: " + error.message());
      retryTimer_.expires_after(kAcceptRetryDelay);
      retryTimer_.async_wait(asio::bind_executor(
          strand_, [self = shared_from_this()](const asio::error_code& e) { if (!e) self->acceptNext(); }));
      return;
    }
    ::fcntl(socket.native_handle(), F_SETFD, FD_CLOEXEC);  // asio accepts without SOCK_CLOEXEC
    askForCredentials(socket.native_handle());
    std::optional<PeerProcess> peer = readPeerProcess(socket.native_handle());
    if (!peer) {
      logError(kCategory, serviceName_ + ": cannot read the peer's credentials; connection dropped");
    } else if (peer->uid != ::geteuid()) {
      logError(kCategory, serviceName_ + ": refused a peer of user " + std::to_string(peer->uid));
    } else {
      auto connection =
          std::make_shared<ConnectionImpl>(std::move(lease), serviceName_, options_.limits, std::move(socket),
                                           std::move(*peer));
      std::weak_ptr<ListenerImpl> weak = weak_from_this();
      connection->beginHandshake([weak](const std::shared_ptr<ConnectionImpl>& greeted) {
        if (std::shared_ptr<ListenerImpl> listener = weak.lock()) {
          asio::post(listener->strand_, [listener, greeted] { listener->decide(greeted); });
        } else {
          greeted->finishAcceptance(false);
        }
      });
    }
    acceptNext();
  }

  // On the listener's strand: asks the delegate about a connection whose peer has greeted us.
  void decide(const std::shared_ptr<ConnectionImpl>& connection) {
    std::shared_ptr<ListenerDelegate> delegate;
    {
      std::lock_guard lock(mutex_);
      if (state_ == State::listening) delegate = delegate_;
    }
    bool accepted = false;
    if (delegate) {
      try {
        accepted = delegate->shouldAcceptNewConnection(*this, connection);
      } catch (const std::exception& e) {
        logError(kCategory, serviceName_ + ": delegate threw: " + e.what());
      } catch (...) {
        logError(kCategory, serviceName_ + ": delegate threw");
      }
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
};

}  // namespace
}  // namespace tessaly::xpc::detail

namespace tessaly::xpc {

std::shared_ptr<Listener> Listener::create(std::string_view serviceName, ServiceOptions options) {
  return std::make_shared<detail::ListenerImpl>(detail::Runtime::shared(), std::string(serviceName),
                                                std::move(options));
}

}  // namespace tessaly::xpc
