// What an exported object receives: one incoming message with its arguments and reply block.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "tessaly/xpc/interface.h"
#include "tessaly/xpc/value.h"

namespace tessaly::xpc {

class Connection;

namespace detail {
struct ReplyState;
}

// The receiver's handle on a sender's reply block. Calling it delivers the reply to the sender; it runs at
// most once however many copies are made and from whichever threads they are called. A reply block never
// called costs nothing but its memory: no message is sent, and the sender's side forgets the reply when its
// connection ends. Calling it after the connection has ended does nothing.
class ReplyBlock {
 public:
  ReplyBlock() noexcept = default;
  explicit ReplyBlock(std::shared_ptr<detail::ReplyState> state) noexcept;

  // Sends the reply. Returns true for the one call that does so; false if the block is empty or was already
  // called. Arguments that do not fit the declared reply are logged and not sent (the call still counts).
  bool operator()(Arguments arguments) const;
  bool operator()(Data body) const { return (*this)(Arguments{Value{std::move(body)}}); }

  explicit operator bool() const noexcept { return state_ != nullptr; }
  bool wasCalled() const noexcept;

 private:
  std::shared_ptr<detail::ReplyState> state_;
};

// One incoming message that fits the exported interface. The argument classes were checked against the
// declaration before the exported object sees it, so data(i) and string(i) are exact for declared classes.
class Invocation {
 public:
  Invocation(std::shared_ptr<Connection> connection, Interface interface, const MethodDeclaration& method,
             Arguments arguments, ReplyBlock reply);

  std::string_view selector() const noexcept { return method_->selector; }
  const MethodDeclaration& method() const noexcept { return *method_; }
  const Arguments& arguments() const noexcept { return arguments_; }
  // The value argument at `index` (the reply block is not counted). An index or class that the declaration
  // does not have yields an empty value.
  const Data& data(std::size_t index) const noexcept;
  const std::string& string(std::size_t index) const noexcept;
  // The sender's reply block; empty when the method declares none.
  const ReplyBlock& reply() const noexcept { return reply_; }
  // The connection the message arrived on.
  const std::shared_ptr<Connection>& connection() const noexcept { return connection_; }

 private:
  std::shared_ptr<Connection> connection_;
  Interface interface_;
  const MethodDeclaration* method_;
  Arguments arguments_;
  ReplyBlock reply_;
};

// The object a connection exports. invoke runs on the connection's serial queue, one message at a time.
class ExportedObject {
 public:
  virtual ~ExportedObject() = default;
  virtual void invoke(Invocation& invocation) = 0;
};

// An exported object made of one function per selector; selectors without a function are ignored.
class MethodTable final : public ExportedObject {
 public:
  using Method = std::function<void(Invocation&)>;

  MethodTable& on(std::string selector, Method method);
  void invoke(Invocation& invocation) override;

 private:
  std::unordered_map<std::string, Method> methods_;
};

}  // namespace tessaly::xpc
