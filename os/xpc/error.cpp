#include "tessaly/xpc/error.h"

namespace tessaly::xpc {

std::string_view describe(Error error) noexcept {
  switch (error) {
    case Error::none:
      return "no error";
    case Error::connection_interrupted:
      return "connection interrupted";
    case Error::connection_invalid:
      return "connection invalid";
    case Error::peer_disconnected:
      return "peer disconnected";
    case Error::connection_refused:
      return "connection refused";
    case Error::service_unavailable:
      return "service unavailable";
    case Error::service_in_use:
      return "service name in use";
    case Error::invalid_service_name:
      return "invalid service name";
    case Error::directory_unusable:
      return "service directory unusable";
    case Error::protocol_violation:
      return "protocol violation";
    case Error::malformed_frame:
      return "malformed frame";
    case Error::message_too_large:
      return "message too large";
    case Error::queue_limit_exceeded:
      return "outgoing queue limit exceeded";
    case Error::invalid_arguments:
      return "arguments do not fit the interface";
    case Error::io_error:
      return "input/output error";
  }
  return "unknown error";
}

}  // namespace tessaly::xpc
