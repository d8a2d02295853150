#include "tessaly/xpc/invocation.h"

#include "connection_impl.h"

namespace tessaly::xpc {

ReplyBlock::ReplyBlock(std::shared_ptr<detail::ReplyState> state) noexcept : state_(std::move(state)) {}

bool ReplyBlock::operator()(Arguments arguments) const {
  if (!state_ || state_->called.exchange(true)) return false;
  if (std::shared_ptr<detail::ConnectionImpl> connection = state_->connection.lock()) {
    connection->sendReply(*state_, std::move(arguments));
  }
  return true;
}

bool ReplyBlock::wasCalled() const noexcept { return state_ && state_->called.load(); }

Invocation::Invocation(std::shared_ptr<Connection> connection, Interface interface, const MethodDeclaration& method,
                       Arguments arguments, ReplyBlock reply)
    : connection_(std::move(connection)),
      interface_(std::move(interface)),
      method_(&method),
      arguments_(std::move(arguments)),
      reply_(std::move(reply)) {}

const Data& Invocation::data(std::size_t index) const noexcept {
  static const Data empty;
  if (index >= arguments_.size()) return empty;
  const Data* value = std::get_if<Data>(&arguments_[index]);
  return value != nullptr ? *value : empty;
}

const std::string& Invocation::string(std::size_t index) const noexcept {
  static const std::string empty;
  if (index >= arguments_.size()) return empty;
  const std::string* value = std::get_if<std::string>(&arguments_[index]);
  return value != nullptr ? *value : empty;
}

MethodTable& MethodTable::on(std::string selector, Method method) {
  methods_[std::move(selector)] = std::move(method);
  return *this;
}

void MethodTable::invoke(Invocation& invocation) {
  const auto found = methods_.find(std::string(invocation.selector()));
  if (found != methods_.end() && found->second) found->second(invocation);
}

}  // namespace tessaly::xpc
