#include "tessaly/platform/updater_service.h"

namespace tessaly::platform {

const xpc::Interface& TSUpdaterServiceProtocol::interface() {
  using enum xpc::ArgumentClass;
  static const xpc::Interface declared(std::string(kName), {{std::string(kRunUpdateUsing), {data}}});
  return declared;
}

void TSUpdaterServiceProtocol::invoke(xpc::Invocation& invocation) {
  // The connection has checked the message against interface(): its one argument is data.
  if (invocation.selector() == kRunUpdateUsing) runUpdateUsing(invocation.data(0));
}

void TSUpdaterServiceProtocolProxy::runUpdateUsing(const xpc::Data& update) { proxy_.send(kRunUpdateUsing, {update}); }

}  // namespace tessaly::platform
