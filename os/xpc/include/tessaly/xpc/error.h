// Error codes of the IPC layer: why a send failed, a listener could not publish, or a connection ended.
#pragma once

#include <cstdint>
#include <string_view>

namespace tessaly::xpc {

enum class Error : std::uint8_t {
  none = 0,
  connection_interrupted,  // client side: the service went away; the next message reconnects
  connection_invalid,      // the connection was invalidated; nothing more flows on it
  peer_disconnected,       // service side: the peer closed its end or died
  connection_refused,      // the service refused the connection (delegate, credentials, dead peer)
  service_unavailable,     // nothing listens under that service name
  service_in_use,          // a live listener already publishes that name
  invalid_service_name,    // the name is empty, too long or has characters outside [A-Za-z0-9._-]
  directory_unusable,      // the socket directory cannot be created, is not ours or is not private
  protocol_violation,      // a message that does not fit the declared interface
  malformed_frame,         // bytes that are not a frame of this protocol
  message_too_large,       // a frame above Limits::maxMessageSize
  queue_limit_exceeded,    // more than Limits::maxQueuedBytes waiting toward a peer that does not read
  invalid_arguments,       // a local send that does not fit the remote object interface
  io_error,                // the operating system reported an unexpected failure
};

// A short lower-case description, e.g. "connection interrupted".
std::string_view describe(Error error) noexcept;

}  // namespace tessaly::xpc
