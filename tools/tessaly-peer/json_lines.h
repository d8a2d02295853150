// The JSON lines tessaly-peer reads (commands) and writes (events).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tessaly::peer {

struct SendCommand {
  std::int64_t id = 0;
  std::string body;
};
struct EchoCommand {
  std::int64_t id = 0;
  std::string body;
};
struct BroadcastCommand {
  std::string body;
};
struct RespondCommand {
  std::string requestId;
  std::string body;
};
struct CloseCommand {};

using Command = std::variant<SendCommand, EchoCommand, BroadcastCommand, RespondCommand, CloseCommand>;

// One input line: {"op":"send","id":N,"body":B}, {"op":"echo","id":N,"body":B}, {"op":"broadcast","body":B},
// {"op":"respond","requestId":S,"body":B} or {"op":"close"}, with bodies in base64 (decoded here). On a line
// that is none of these, nothing, and `problem` says why.
std::optional<Command> parseCommand(std::string_view line, std::string& problem);

// Output lines, without the line feed.
std::string connectedEvent();
std::string replyEvent(std::int64_t id, std::string_view body);
std::string receiveEvent(std::string_view requestId, std::string_view body);
std::string interruptedEvent();
std::string invalidatedEvent();

}  // namespace tessaly::peer
