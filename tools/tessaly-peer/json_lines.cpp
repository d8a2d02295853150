#include "json_lines.h"

#include <simdjson.h>

#include "base64.h"
#include "tessaly/model/json.h"

namespace tessaly::peer {
namespace {

// A JSON string literal for `text`, escaped as the model's writer escapes every string.
std::string jsonString(std::string_view text) {
  std::string out;
  tessaly::model::appendJsonString(out, text);
  return out;
}

}  // namespace

std::optional<Command> parseCommand(std::string_view line, std::string& problem) {
  static simdjson::dom::parser parser;  // reused; commands are read on one thread
  simdjson::dom::object object;
  if (parser.parse(line.data(), line.size()).get(object) != simdjson::SUCCESS) {
    problem = "not a JSON object";
    return std::nullopt;
  }
  std::string_view op;
  if (object["op"].get(op) != simdjson::SUCCESS) {
    problem = "no \"op\" text";
    return std::nullopt;
  }
  if (op == "close") return CloseCommand{};

  std::string_view encoded;
  if (object["body"].get(encoded) != simdjson::SUCCESS) {
    problem = "no \"body\" text";
    return std::nullopt;
  }
  std::optional<std::string> body = decodeBase64(encoded);
  if (!body) {
    problem = "\"body\" is not base64";
    return std::nullopt;
  }
  if (op == "send" || op == "echo") {
    std::int64_t id = 0;
    if (object["id"].get(id) != simdjson::SUCCESS) {
      problem = "no integer \"id\"";
      return std::nullopt;
    }
    if (op == "send") return SendCommand{id, std::move(*body)};
    return EchoCommand{id, std::move(*body)};
  }
  if (op == "broadcast") return BroadcastCommand{std::move(*body)};
  if (op == "respond") {
    std::string_view requestId;
    if (object["requestId"].get(requestId) != simdjson::SUCCESS) {
      problem = "no \"requestId\" text";
      return std::nullopt;
    }
    return RespondCommand{std::string(requestId), std::move(*body)};
  }
  problem = "unknown op " + jsonString(op);
  return std::nullopt;
}

std::string connectedEvent() { return R"({"event":"connected"})"; }

std::string replyEvent(std::int64_t id, std::string_view body) {
  return R"({"event":"reply","id":)" + std::to_string(id) + R"(,"body":)" + jsonString(encodeBase64(body)) + "}";
}

std::string receiveEvent(std::string_view requestId, std::string_view body) {
  return R"({"event":"receive","requestId":)" + jsonString(requestId) + R"(,"body":)" + jsonString(encodeBase64(body)) +
         "}";
}

std::string interruptedEvent() { return R"({"event":"interrupted"})"; }
std::string invalidatedEvent() { return R"({"event":"invalidated"})"; }

}  // namespace tessaly::peer
