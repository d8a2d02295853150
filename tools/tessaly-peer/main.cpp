// tessaly-peer: a peer of the agent for scripts, tests and demonstrations.
//   tessaly-peer [--service NAME] echo [TEXT]           one echo:reply:, prints the reply
//   tessaly-peer [--service NAME] session [--answer echo]  a long-lived connection driven by JSON lines
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

#include "json_lines.h"
#include "tessaly/broker/protocols.h"
#include "tessaly/xpc/xpc.h"

namespace {

using namespace tessaly;

constexpr const char* kAgentService = TESSALY_AGENT_IDENTIFIER;

// Ends the process at once: the IPC threads are still running, and nothing needs tearing down.
[[noreturn]] void finish(int status) {
  std::fflush(nullptr);
  ::_exit(status);
}

std::string whyItEnded(xpc::Error reason, const std::string& service) {
  switch (reason) {
    case xpc::Error::connection_refused:
      return "the agent refused the connection";
    case xpc::Error::service_unavailable:
      return "the agent is unreachable: nothing listens as " + service;
    default:
      return "the connection to " + service + " ended: " + std::string(xpc::describe(reason));
  }
}

// Standard output, one whole line at a time, from any thread.
class Output {
 public:
  void line(const std::string& text) {
    std::lock_guard lock(mutex_);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }

 private:
  std::mutex mutex_;
};

// What the agent calls on this peer: every delivery becomes a "receive" event; with --answer echo, a request
// with an identifier is answered at once with its own body.
class SessionClient final : public broker::XPCClient {
 public:
  SessionClient(Output& output, bool answerEcho) : output_(output), answerEcho_(answerEcho) {}
  void setAgent(std::shared_ptr<broker::XPCBrowserHelper> agent) { agent_ = std::move(agent); }

  void receive(const xpc::Data& message, const std::string& requestId) override {
    if (answerEcho_ && !requestId.empty()) agent_->sendResponse(message, requestId);
    output_.line(peer::receiveEvent(requestId, message.text()));
  }

 private:
  Output& output_;
  const bool answerEcho_;
  std::shared_ptr<broker::XPCBrowserHelper> agent_;
};

struct Peer {
  std::shared_ptr<xpc::Connection> connection;
  std::shared_ptr<broker::XPCBrowserHelper> agent;
};

Peer connect(const std::string& service, std::shared_ptr<xpc::ExportedObject> exported) {
  Peer peer;
  peer.connection = xpc::Connection::connectToService(service);
  peer.connection->setRemoteObjectInterface(broker::XPCBrowserHelper::interface());
  peer.connection->setExportedInterface(broker::XPCClient::interface());
  if (exported) peer.connection->setExportedObject(std::move(exported));
  peer.agent = std::make_shared<broker::XPCBrowserHelperProxy>(
      peer.connection->remoteObjectProxyWithErrorHandler([](xpc::Error error) {
        std::fprintf(stderr, "tessaly-peer: a message failed: %s\n", xpc::describe(error).data());
      }));
  return peer;
}

// A client that receives nothing for the one-shot echo; the agent may still broadcast to it.
class IgnoringClient final : public broker::XPCClient {
 public:
  void receive(const xpc::Data&, const std::string&) override {}
};

int runEcho(const std::string& service, const std::string& text, double timeoutSeconds) {
  Peer peer = connect(service, std::make_shared<IgnoringClient>());
  auto outcome = std::make_shared<std::promise<int>>();
  auto settled = std::make_shared<std::atomic<bool>>(false);
  auto settle = [outcome, settled](int status) {
    if (!settled->exchange(true)) outcome->set_value(status);
  };
  std::weak_ptr<xpc::Connection> weak = peer.connection;
  peer.connection->setInvalidationHandler([weak, settle, service] {
    if (const auto connection = weak.lock()) {
      std::fprintf(stderr, "tessaly-peer: %s\n", whyItEnded(connection->invalidationReason(), service).c_str());
    }
    settle(1);
  });
  peer.connection->resume();
  peer.agent->echo(xpc::Data::fromText(text), [settle](xpc::Data reply) {
    std::fwrite(reply.data(), 1, reply.size(), stdout);
    std::fputc('\n', stdout);
    settle(0);
  });
  std::future<int> result = outcome->get_future();
  if (result.wait_for(std::chrono::duration<double>(timeoutSeconds)) != std::future_status::ready) {
    std::fprintf(stderr, "tessaly-peer: no answer from %s within %g s\n", service.c_str(), timeoutSeconds);
    return 1;
  }
  return result.get();
}

int runSession(const std::string& service, bool answerEcho) {
  Output output;
  auto client = std::make_shared<SessionClient>(output, answerEcho);
  Peer peer = connect(service, client);
  client->setAgent(peer.agent);
  auto closing = std::make_shared<std::atomic<bool>>(false);
  auto closed = std::make_shared<std::promise<void>>();
  std::weak_ptr<xpc::Connection> weak = peer.connection;
  peer.connection->setInterruptionHandler([&output] { output.line(peer::interruptedEvent()); });
  peer.connection->setInvalidationHandler([&output, weak, closing, closed, service] {
    output.line(peer::invalidatedEvent());
    if (closing->load()) {
      closed->set_value();
      return;
    }
    if (const auto connection = weak.lock()) {
      std::fprintf(stderr, "tessaly-peer: %s\n", whyItEnded(connection->invalidationReason(), service).c_str());
    }
    finish(1);
  });
  peer.connection->resume();
  // The agent answers only once it has accepted the connection.
  peer.agent->echo(xpc::Data(), [&output](xpc::Data) { output.line(peer::connectedEvent()); });

  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    std::string problem;
    const std::optional<peer::Command> command = peer::parseCommand(line, problem);
    if (!command) {
      std::fprintf(stderr, "tessaly-peer: ignored a line: %s\n", problem.c_str());
      continue;
    }
    if (std::holds_alternative<peer::CloseCommand>(*command)) break;
    if (const auto* send = std::get_if<peer::SendCommand>(&*command)) {
      peer.agent->sendToMain(xpc::Data::fromText(send->body), [&output, id = send->id](xpc::Data reply) {
        output.line(peer::replyEvent(id, reply.text()));
      });
    } else if (const auto* echo = std::get_if<peer::EchoCommand>(&*command)) {
      peer.agent->echo(xpc::Data::fromText(echo->body),
                       [&output, id = echo->id](xpc::Data reply) { output.line(peer::replyEvent(id, reply.text())); });
    } else if (const auto* broadcast = std::get_if<peer::BroadcastCommand>(&*command)) {
      peer.agent->broadcastToExtensions(xpc::Data::fromText(broadcast->body));
    } else if (const auto* respond = std::get_if<peer::RespondCommand>(&*command)) {
      peer.agent->sendResponse(xpc::Data::fromText(respond->body), respond->requestId);
    }
  }
  // "close" or the end of the input: the connection ends, and so does the process.
  closing->store(true);
  peer.connection->invalidate();
  closed->get_future().wait();
  finish(0);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "A peer of the Tessaly Browser Helper agent, for scripts, tests and demonstrations.\n"
      "Message bodies in JSON lines are base64 (standard alphabet, with padding)."};
  std::string service = kAgentService;
  app.add_option("--service", service, "IPC service to connect to (default: the agent's bundle identifier)");
  app.require_subcommand(1);

  std::string text;
  double timeoutSeconds = 10;
  CLI::App* echo = app.add_subcommand("echo",
                                      "Send echo:reply: and print the reply; exit 1 with a reason when "
                                      "the agent is unreachable or refuses the connection");
  echo->add_option("TEXT", text, "Body to send (default: empty)");
  echo->add_option("--timeout", timeoutSeconds, "Seconds to wait for the reply")->capture_default_str();

  std::string answer;
  CLI::App* session = app.add_subcommand(
      "session",
      "A long-lived connection driven by JSON lines.\n"
      "Input:  {\"op\":\"send\",\"id\":N,\"body\":B} (sendToMain:reply:), {\"op\":\"echo\",\"id\":N,\"body\":B},\n"
      "        {\"op\":\"broadcast\",\"body\":B}, {\"op\":\"respond\",\"requestId\":S,\"body\":B}, {\"op\":\"close\"}\n"
      "Output: {\"event\":\"connected\"}, {\"event\":\"reply\",\"id\":N,\"body\":B},\n"
      "        {\"event\":\"receive\",\"requestId\":S,\"body\":B}, {\"event\":\"interrupted\"}, "
      "{\"event\":\"invalidated\"}");
  session->add_option("--answer", answer, "'echo': answer every received request at once with its own body")
      ->check(CLI::IsMember({"echo"}));

  CLI11_PARSE(app, argc, argv);
  if (echo->parsed()) finish(runEcho(service, text, timeoutSeconds));
  finish(runSession(service, answer == "echo"));
}
