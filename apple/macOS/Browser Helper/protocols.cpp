#include "tessaly/broker/protocols.h"

namespace tessaly::broker {
namespace {

using enum xpc::ArgumentClass;

// Turns a received reply block into a reply action; the block itself sends at most once.
ReplyAction replyActionFor(const xpc::ReplyBlock& block) {
  return [block](xpc::Data body) { block(std::move(body)); };
}

// Hands the first reply argument, the answer's body, to `reply`.
xpc::ReplyHandler replyHandlerFor(ReplyAction reply) {
  return [reply = std::move(reply)](const xpc::Arguments& arguments) {
    if (reply) reply(std::get<xpc::Data>(arguments.at(0)));
  };
}

}  // namespace

const xpc::Interface& XPCBrowserHelper::interface() {
  static const xpc::Interface declared("XPCBrowserHelper", {
                                                               {std::string(kEcho), {data, reply}, {data}},
                                                               {std::string(kSendToMain), {data, reply}, {data}},
                                                               {std::string(kBroadcastToExtensions), {data}},
                                                               {std::string(kSendResponse), {data, string}},
                                                           });
  return declared;
}

void XPCBrowserHelper::invoke(xpc::Invocation& invocation) {
  // The connection has checked the arguments against interface(), so their classes are as declared.
  const std::string_view selector = invocation.selector();
  if (selector == kEcho) {
    echo(invocation.data(0), replyActionFor(invocation.reply()));
  } else if (selector == kSendToMain) {
    sendToMain(invocation.data(0), replyActionFor(invocation.reply()));
  } else if (selector == kBroadcastToExtensions) {
    broadcastToExtensions(invocation.data(0));
  } else if (selector == kSendResponse) {
    sendResponse(invocation.data(0), invocation.string(1));
  }
}

const xpc::Interface& XPCClient::interface() {
  static const xpc::Interface declared("XPCClient", {{std::string(kReceive), {data, string}}});
  return declared;
}

void XPCClient::invoke(xpc::Invocation& invocation) {
  if (invocation.selector() == kReceive) receive(invocation.data(0), invocation.string(1));
}

void XPCClientProxy::receive(const xpc::Data& message, const std::string& requestId) {
  proxy_.send(kReceive, {message, requestId});
}

void XPCBrowserHelperProxy::echo(const xpc::Data& message, ReplyAction reply) {
  proxy_.send(kEcho, {message}, replyHandlerFor(std::move(reply)));
}

void XPCBrowserHelperProxy::sendToMain(const xpc::Data& message, ReplyAction reply) {
  proxy_.send(kSendToMain, {message}, replyHandlerFor(std::move(reply)));
}

void XPCBrowserHelperProxy::broadcastToExtensions(const xpc::Data& message) {
  proxy_.send(kBroadcastToExtensions, {message});
}

void XPCBrowserHelperProxy::sendResponse(const xpc::Data& message, const std::string& requestId) {
  proxy_.send(kSendResponse, {message, requestId});
}

}  // namespace tessaly::broker
