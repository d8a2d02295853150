// A listener delegate made of a function, for tests that publish IPC services of their own.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "tessaly/xpc/xpc.h"

namespace tessaly::testing {

class FunctionDelegate final : public xpc::ListenerDelegate {
 public:
  using Function = std::function<bool(xpc::Listener&, const std::shared_ptr<xpc::Connection>&)>;
  explicit FunctionDelegate(Function function) : function_(std::move(function)) {}
  bool shouldAcceptNewConnection(xpc::Listener& listener, const std::shared_ptr<xpc::Connection>& connection) override {
    return function_(listener, connection);
  }

 private:
  Function function_;
};

}  // namespace tessaly::testing
