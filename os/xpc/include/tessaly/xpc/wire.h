// The wire format: frame headers, greetings, messages and replies, their encoding and their checks.
//
// Every frame is an 8-byte header followed by its payload:
//   u32 payload length (little-endian) | u8 kind | 3 bytes that must be zero
// Kinds: 1 hello (client -> service, first frame), 2 welcome (service -> client, first frame),
// 3 message, 4 reply. Hello and welcome carry the 8-byte greeting "TXPC" | u16 version | u16 zero.
// A message payload is
//   u64 reply token (0: no reply block) | u16 selector length | selector | u8 argument count n |
//   n x (u8 class, u32 length) | the argument bytes, in order, back to back
// with class 1 data, 2 UTF-8 string, 3 reply block (length 0, the last argument, present exactly when the token
// is not 0).
// A reply payload is
//   u64 token of the message answered | u8 argument count n | n x (u8 class, u32 length) | argument bytes
// with classes 1 and 2 only. All integers are little-endian.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tessaly/xpc/error.h"
#include "tessaly/xpc/value.h"

namespace tessaly::xpc::wire {

inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::size_t kGreetingSize = 8;
inline constexpr std::uint16_t kProtocolVersion = 1;
inline constexpr std::size_t kLargestPayload = 0xFFFF'FFFFu;

enum class FrameKind : std::uint8_t { hello = 1, welcome = 2, message = 3, reply = 4 };

// The outcome of a check: Error::none, or the error with a short reason for the log.
struct Status {
  Error error = Error::none;
  std::string_view reason;
  bool ok() const noexcept { return error == Error::none; }
};

struct FrameHeader {
  std::uint32_t length = 0;
  FrameKind kind = FrameKind::hello;
};

// Reads the header at `bytes` (kHeaderSize bytes). A length above `maxPayload` is message_too_large;
// an unknown kind, non-zero reserved bytes or a greeting of the wrong length is malformed_frame.
Status parseHeader(const std::uint8_t* bytes, std::size_t maxPayload, FrameHeader& header) noexcept;

struct IncomingMessage {
  std::uint64_t replyToken = 0;
  std::string selector;
  std::vector<ArgumentClass> classes;  // as carried, reply block included
  Arguments values;                    // data values share the payload's bytes
};

struct IncomingReply {
  std::uint64_t token = 0;
  std::vector<ArgumentClass> classes;
  Arguments values;
};

Status decodeMessage(const Data& payload, IncomingMessage& message);
Status decodeReply(const Data& payload, IncomingReply& reply);
Status checkGreeting(const Data& payload) noexcept;

// Payload sizes that the encoders below would produce, for checking limits before encoding.
std::size_t messagePayloadSize(std::string_view selector, const Arguments& values, bool withReply) noexcept;
std::size_t replyPayloadSize(const Arguments& values) noexcept;

// One frame on its way out. The header and descriptors are encoded into a small buffer; argument bytes
// are not copied but written straight from the values the frame holds.
class OutgoingFrame {
 public:
  static OutgoingFrame greeting(FrameKind kind);
  // The reply block, when present, is encoded as the last argument.
  static OutgoingFrame message(std::uint64_t replyToken, std::string_view selector, Arguments values);
  static OutgoingFrame reply(std::uint64_t token, Arguments values);

  std::size_t size() const noexcept { return size_; }
  std::size_t remaining() const noexcept { return size_ - sent_; }
  bool finished() const noexcept { return sent_ == size_; }
  std::uint64_t replyToken() const noexcept { return replyToken_; }

  // Describes the unsent bytes in at most `capacity` iovecs; returns how many it filled.
  std::size_t gather(iovec* out, std::size_t capacity) const noexcept;
  // Marks up to `count` bytes as sent; returns how many of them belonged to this frame.
  std::size_t consume(std::size_t count) noexcept;

  // The whole frame as one byte string (for tests and for greetings written in one go).
  std::string flatten() const;

 private:
  std::string head_;
  Arguments values_;
  std::uint64_t replyToken_ = 0;
  std::size_t size_ = 0;
  std::size_t sent_ = 0;
};

}  // namespace tessaly::xpc::wire
