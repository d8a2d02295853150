// The broker's record of one accepted connection: the peer's proxy, a random identity and the connection.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "tessaly/broker/protocols.h"
#include "tessaly/broker/uuid.h"
#include "tessaly/xpc/xpc.h"

namespace tessaly::broker {

// Made when a connection is accepted; gets its proxy once the connection is set up; torn down when the
// connection ends or the broker stops. The record may outlive its tear-down while a handler holds it; it then
// has neither connection nor proxy. Its identity is its `uuid` alone. Safe to use from several threads.
class ConnectedClient {
 public:
  // A record with a fresh random uuid, the connection, and no proxy yet.
  explicit ConnectedClient(std::shared_ptr<xpc::Connection> connection);
  ConnectedClient(Uuid uuid, std::shared_ptr<xpc::Connection> connection);

  const Uuid& uuid() const noexcept { return uuid_; }
  std::shared_ptr<XPCClient> client() const;
  std::shared_ptr<xpc::Connection> connection() const;

  // Attaches the peer's proxy.
  void attach(std::shared_ptr<XPCClient> client);
  // Invalidates the connection if there is one, then drops connection and proxy. A second call does nothing more.
  void tearDown();

  friend bool operator==(const ConnectedClient& a, const ConnectedClient& b) noexcept { return a.uuid_ == b.uuid_; }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<XPCClient> client_;
  const Uuid uuid_;
  std::shared_ptr<xpc::Connection> connection_;
};

}  // namespace tessaly::broker

template <>
struct std::hash<tessaly::broker::ConnectedClient> {
  std::size_t operator()(const tessaly::broker::ConnectedClient& record) const noexcept {
    return tessaly::broker::UuidHash{}(record.uuid());
  }
};
