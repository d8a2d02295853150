// Connections between two processes: exported objects, remote proxies, handlers, resume and invalidate.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tessaly/xpc/error.h"
#include "tessaly/xpc/interface.h"
#include "tessaly/xpc/invocation.h"
#include "tessaly/xpc/options.h"
#include "tessaly/xpc/value.h"

namespace tessaly::xpc {

// Called on the connection's queue when a message sent through a proxy fails: it could not be sent, or
// its reply can no longer arrive because the connection was interrupted or invalidated.
using ErrorHandler = std::function<void(Error)>;
// Called on the connection's queue with the arguments of the reply, which were checked against the
// declared reply classes.
using ReplyHandler = std::function<void(const Arguments&)>;

// Sends messages to the object that the peer exports. Sends are asynchronous: they check the message
// against the remote object interface, queue it and return at once. A default-constructed proxy sends
// nothing.
class RemoteProxy {
 public:
  RemoteProxy() noexcept = default;
  RemoteProxy(std::shared_ptr<Connection> connection, ErrorHandler onError);

  void send(std::string_view selector, Arguments arguments) const;
  void send(std::string_view selector, Arguments arguments, ReplyHandler onReply) const;

  // True when the connection's remote object interface is `interface`.
  bool conformsTo(const Interface& interface) const;
  explicit operator bool() const noexcept { return connection_ != nullptr; }
  const std::shared_ptr<Connection>& connection() const noexcept { return connection_; }

 private:
  std::shared_ptr<Connection> connection_;
  std::shared_ptr<const ErrorHandler> onError_;
};

// One end of a connection. A client connection is made with connectToService; a service connection is
// handed to the listener's delegate. Nothing flows before resume. Each connection has its own serial
// queue on which its messages, replies and handlers run. Connections are spread over a few event loops
// and run concurrently across them; a handler should not block, since it holds up the connections that
// share its loop.
//
// Invalidation is final: the invalidation handler runs once, then every handler, the exported object and
// every pending reply are released. On the client side a service that goes away is an interruption: the
// interruption handler runs, and the next message reconnects. On the service side a peer that goes away
// invalidates the connection. A connection lives until it is invalidated, also when nothing else refers
// to it.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // A client connection to the named service. It connects when resumed. A service that cannot be reached
  // at that first attempt, or that refuses the connection, invalidates it.
  static std::shared_ptr<Connection> connectToService(std::string_view serviceName, ServiceOptions options = {});

  virtual ~Connection() = default;

  virtual void setExportedInterface(Interface interface) = 0;
  virtual void setExportedObject(std::shared_ptr<ExportedObject> object) = 0;
  virtual void setRemoteObjectInterface(Interface interface) = 0;
  virtual std::optional<Interface> remoteObjectInterface() const = 0;
  virtual void setInvalidationHandler(std::function<void()> handler) = 0;
  virtual void setInterruptionHandler(std::function<void()> handler) = 0;

  RemoteProxy remoteObjectProxy() { return remoteObjectProxyWithErrorHandler(nullptr); }
  RemoteProxy remoteObjectProxyWithErrorHandler(ErrorHandler onError);

  // The peer's process identifier as the kernel reported it when the socket was connected; 0 before.
  virtual pid_t processIdentifier() const noexcept = 0;
  // The peer's effective user identifier; (uid_t)-1 before the socket is connected.
  virtual uid_t effectiveUserIdentifier() const noexcept = 0;
  virtual const std::string& serviceName() const noexcept = 0;

  virtual void resume() = 0;
  virtual void invalidate() = 0;
  // Why the connection was invalidated; Error::none while it is valid.
  virtual Error invalidationReason() const = 0;

 protected:
  friend class RemoteProxy;
  virtual void deliver(std::string_view selector, Arguments arguments, ReplyHandler onReply,
                       std::shared_ptr<const ErrorHandler> onError) = 0;
};

}  // namespace tessaly::xpc
