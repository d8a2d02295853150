// Fuzz target: arbitrary bytes read as a connection's incoming stream, frame after frame, the way a service
// reads an unauthenticated peer (its hello) and an admitted one (messages and replies). Every frame that
// decodes must encode back to exactly the bytes it came from, and decoding must never read past the frame
// (each payload is copied into storage of exactly its size; the header is read where the fuzzer put it).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "tessaly/xpc/interface.h"
#include "tessaly/xpc/wire.h"

namespace {

using namespace tessaly::xpc;

// The largest payload a connection takes by default is far above what the fuzzer makes; a small limit lets it
// reach the too-large path as well.
constexpr std::size_t kFuzzMaxPayload = 1u << 16;

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "wire_fuzz: %s\n", what);
  std::abort();
}

// The payload in storage of exactly its size, as a connection holds it, so that a read past its end is seen.
Data exactCopy(const std::uint8_t* bytes, std::size_t size) {
  std::shared_ptr<std::uint8_t[]> storage(new std::uint8_t[size]);
  if (size > 0) std::memcpy(storage.get(), bytes, size);
  const std::uint8_t* start = storage.get();
  return Data(std::shared_ptr<const void>(std::move(storage), start), start, size);
}

std::string reencode(wire::FrameKind kind, const Data& payload) {
  switch (kind) {
    case wire::FrameKind::hello:
    case wire::FrameKind::welcome:
      if (!wire::checkGreeting(payload).ok()) return {};
      return wire::OutgoingFrame::greeting(kind).flatten();
    case wire::FrameKind::message: {
      wire::IncomingMessage message;
      if (!wire::decodeMessage(payload, message).ok()) return {};
      if (wire::messagePayloadSize(message.selector, message.values, message.replyToken != 0) != payload.size()) {
        broken("the payload size of a decoded message differs from its frame");
      }
      return wire::OutgoingFrame::message(message.replyToken, message.selector, std::move(message.values)).flatten();
    }
    case wire::FrameKind::reply: {
      wire::IncomingReply reply;
      if (!wire::decodeReply(payload, reply).ok()) return {};
      if (wire::replyPayloadSize(reply.values) != payload.size()) {
        broken("the payload size of a decoded reply differs from its frame");
      }
      return wire::OutgoingFrame::reply(reply.token, std::move(reply.values)).flatten();
    }
  }
  broken("unknown frame kind after a good header");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t at = 0;
  while (size - at >= wire::kHeaderSize) {
    const std::uint8_t* frame = data + at;
    wire::FrameHeader header;
    if (!wire::parseHeader(frame, kFuzzMaxPayload, header).ok()) break;  // the connection ends here
    if (size - at - wire::kHeaderSize < header.length) break;            // the rest has not arrived
    const std::size_t total = wire::kHeaderSize + header.length;
    const Data payload = exactCopy(frame + wire::kHeaderSize, header.length);
    const std::string again = reencode(header.kind, payload);
    if (!again.empty() && std::string_view(reinterpret_cast<const char*>(frame), total) != again) {
      broken("a decoded frame does not encode back to its bytes");
    }
    at += total;
  }
  return 0;
}
