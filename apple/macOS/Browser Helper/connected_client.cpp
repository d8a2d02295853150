#include "connected_client.h"

namespace tessaly::broker {

ConnectedClient::ConnectedClient(std::shared_ptr<xpc::Connection> connection)
    : ConnectedClient(Uuid::random(), std::move(connection)) {}

ConnectedClient::ConnectedClient(Uuid uuid, std::shared_ptr<xpc::Connection> connection)
    : uuid_(uuid), connection_(std::move(connection)) {}

std::shared_ptr<XPCClient> ConnectedClient::client() const {
  std::lock_guard lock(mutex_);
  return client_;
}

std::shared_ptr<xpc::Connection> ConnectedClient::connection() const {
  std::lock_guard lock(mutex_);
  return connection_;
}

void ConnectedClient::attach(std::shared_ptr<XPCClient> client) {
  std::lock_guard lock(mutex_);
  client_ = std::move(client);
}

void ConnectedClient::tearDown() {
  std::shared_ptr<xpc::Connection> connection;
  std::shared_ptr<XPCClient> client;
  {
    std::lock_guard lock(mutex_);
    connection = std::move(connection_);
    client = std::move(client_);
    connection_ = nullptr;
    client_ = nullptr;
  }
  // Invalidated and released off the lock: the last reference to the proxy may go with it.
  if (connection) connection->invalidate();
}

}  // namespace tessaly::broker
