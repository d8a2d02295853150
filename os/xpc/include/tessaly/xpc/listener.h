// Listeners: publish a named service and hand each new connection to a delegate that accepts or refuses it.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "tessaly/xpc/connection.h"
#include "tessaly/xpc/error.h"
#include "tessaly/xpc/options.h"

namespace tessaly::xpc {

class Listener;

class ListenerDelegate {
 public:
  virtual ~ListenerDelegate() = default;
  // Runs on the listener's serial queue once per new connection, before any message of it is handled.
  // To accept, configure the connection, resume it and return true. Returning false (or throwing) refuses
  // the connection; so does a peer process that has exited by the time this returns, since its process
  // identifier may then already name another process.
  virtual bool shouldAcceptNewConnection(Listener& listener, const std::shared_ptr<Connection>& connection) = 0;
};

// A service published under a name, as a socket in the per-user service directory. Invalidating the
// listener withdraws the name and releases the delegate; connections already accepted stay up.
class Listener {
 public:
  static std::shared_ptr<Listener> create(std::string_view serviceName, ServiceOptions options = {});

  virtual ~Listener() = default;

  virtual void setDelegate(std::shared_ptr<ListenerDelegate> delegate) = 0;
  // Publishes the name and starts accepting. A socket left behind by a process that has died is replaced;
  // a name held by a live listener is not taken (Error::service_in_use).
  [[nodiscard]] virtual Error resume() = 0;
  virtual void invalidate() = 0;

  virtual const std::string& serviceName() const noexcept = 0;
  // The socket's path once published; empty before.
  virtual std::string socketPath() const = 0;
};

}  // namespace tessaly::xpc
