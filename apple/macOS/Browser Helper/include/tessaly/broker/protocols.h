// The two IPC protocols between the agent and its peers, declared once and used by both ends.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "tessaly/xpc/xpc.h"

namespace tessaly::broker {

// The reply block that comes with a message: called at most once, with the answer's body.
using ReplyAction = std::function<void(xpc::Data)>;

// What the agent exports on every accepted connection. Every message is one-way; two carry a reply block.
// A conforming object is exported as it is: its invoke() turns each checked message into the matching call.
class XPCBrowserHelper : public xpc::ExportedObject {
 public:
  static constexpr std::string_view kEcho = "echo:reply:";
  static constexpr std::string_view kSendToMain = "sendToMain:reply:";
  static constexpr std::string_view kBroadcastToExtensions = "broadcastToExtensions:";
  static constexpr std::string_view kSendResponse = "sendResponse:for:";

  static const xpc::Interface& interface();

  // Liveness check: the reply is called with the same bytes.
  virtual void echo(const xpc::Data& message, ReplyAction reply) = 0;
  // A request for the desktop app; the reply is called with its answer.
  virtual void sendToMain(const xpc::Data& message, ReplyAction reply) = 0;
  // Delivers the message to every connected extension.
  virtual void broadcastToExtensions(const xpc::Data& message) = 0;
  // The desktop app's answer to the request it received under `requestId`.
  virtual void sendResponse(const xpc::Data& message, const std::string& requestId) = 0;

  void invoke(xpc::Invocation& invocation) final;
};

// What every peer exports back to the agent.
class XPCClient : public xpc::ExportedObject {
 public:
  static constexpr std::string_view kReceive = "receive:requestId:";

  static const xpc::Interface& interface();

  // One-way delivery: a relayed request (to the desktop app, with the identifier to quote in
  // sendResponse:for:) or a broadcast (to an extension, with the empty identifier).
  virtual void receive(const xpc::Data& message, const std::string& requestId) = 0;

  void invoke(xpc::Invocation& invocation) final;
};

// The peer's XPCClient as seen from the agent: each call is an asynchronous send that returns at once.
class XPCClientProxy final : public XPCClient {
 public:
  explicit XPCClientProxy(xpc::RemoteProxy proxy) : proxy_(std::move(proxy)) {}
  void receive(const xpc::Data& message, const std::string& requestId) override;

 private:
  xpc::RemoteProxy proxy_;
};

// The agent's XPCBrowserHelper as seen from a peer. Replies run on the connection's queue; a reply whose
// answer can no longer come is never called (the proxy's error handler hears of it instead).
class XPCBrowserHelperProxy final : public XPCBrowserHelper {
 public:
  explicit XPCBrowserHelperProxy(xpc::RemoteProxy proxy) : proxy_(std::move(proxy)) {}
  void echo(const xpc::Data& message, ReplyAction reply) override;
  void sendToMain(const xpc::Data& message, ReplyAction reply) override;
  void broadcastToExtensions(const xpc::Data& message) override;
  void sendResponse(const xpc::Data& message, const std::string& requestId) override;

 private:
  xpc::RemoteProxy proxy_;
};

}  // namespace tessaly::broker
