#include "tessaly/xpc/wire.h"

#include <cstring>

#include "tessaly/base/utf8.h"
#include "tessaly/xpc/interface.h"

namespace tessaly::xpc::wire {
namespace {

constexpr char kMagic[4] = {'T', 'X', 'P', 'C'};
constexpr std::size_t kDescriptorSize = 5;

void putU8(std::string& out, std::uint8_t v) { out.push_back(static_cast<char>(v)); }
void putU16(std::string& out, std::uint16_t v) {
  for (int i = 0; i < 2; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void putU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void putU64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

std::uint64_t readLittleEndian(const std::uint8_t* bytes, std::size_t width) noexcept {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v |= std::uint64_t{bytes[i]} << (8 * i);
  return v;
}

std::size_t valueSize(const Value& value) noexcept {
  if (const Data* data = std::get_if<Data>(&value)) return data->size();
  return std::get<std::string>(value).size();
}

const std::uint8_t* valueBytes(const Value& value) noexcept {
  if (const Data* data = std::get_if<Data>(&value)) return data->data();
  return reinterpret_cast<const std::uint8_t*>(std::get<std::string>(value).data());
}

void putHeader(std::string& out, FrameKind kind, std::size_t payload) {
  putU32(out, static_cast<std::uint32_t>(payload));
  putU8(out, static_cast<std::uint8_t>(kind));
  putU8(out, 0);
  putU16(out, 0);
}

void putDescriptors(std::string& out, const Arguments& values) {
  for (const Value& value : values) {
    putU8(out, static_cast<std::uint8_t>(classOf(value)));
    putU32(out, static_cast<std::uint32_t>(valueSize(value)));
  }
}

// A bounds-checked reader over one payload.
class Reader {
 public:
  explicit Reader(const Data& payload) : payload_(payload) {}
  bool has(std::size_t count) const noexcept { return payload_.size() - offset_ >= count; }
  std::size_t left() const noexcept { return payload_.size() - offset_; }
  std::uint64_t take(std::size_t width) noexcept {
    const std::uint64_t v = readLittleEndian(payload_.data() + offset_, width);
    offset_ += width;
    return v;
  }
  const std::uint8_t* takeBytes(std::size_t count) noexcept {
    const std::uint8_t* start = payload_.data() + offset_;
    offset_ += count;
    return start;
  }

 private:
  const Data& payload_;
  std::size_t offset_ = 0;
};

struct Descriptor {
  ArgumentClass argumentClass;
  std::uint32_t length;
};

// Reads n descriptors and the argument bytes that must fill the rest of the payload exactly.
Status readArguments(Reader& reader, const Data& payload, bool allowReply, std::vector<ArgumentClass>& classes,
                     Arguments& values) {
  if (!reader.has(1)) return {Error::malformed_frame, "truncated argument count"};
  const auto count = static_cast<std::size_t>(reader.take(1));
  if (count > kMaxArguments) return {Error::malformed_frame, "too many arguments"};
  if (!reader.has(count * kDescriptorSize)) return {Error::malformed_frame, "truncated argument descriptors"};
  Descriptor descriptors[kMaxArguments];
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const auto cls = static_cast<std::uint8_t>(reader.take(1));
    const auto length = static_cast<std::uint32_t>(reader.take(4));
    if (cls < 1 || cls > 3) return {Error::malformed_frame, "unknown argument class"};
    descriptors[i] = {static_cast<ArgumentClass>(cls), length};
    if (descriptors[i].argumentClass == ArgumentClass::reply) {
      if (!allowReply) return {Error::malformed_frame, "reply block inside a reply"};
      if (length != 0) return {Error::malformed_frame, "reply block with a length"};
      if (i + 1 != count) return {Error::malformed_frame, "reply block is not the last argument"};
    }
    total += length;
  }
  if (total != reader.left()) return {Error::malformed_frame, "argument lengths do not match the frame"};
  classes.reserve(count);
  values.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const Descriptor& d = descriptors[i];
    classes.push_back(d.argumentClass);
    const std::uint8_t* bytes = reader.takeBytes(d.length);
    switch (d.argumentClass) {
      case ArgumentClass::data:
        values.emplace_back(payload.subdata(static_cast<std::size_t>(bytes - payload.data()), d.length));
        break;
      case ArgumentClass::string: {
        std::string text(reinterpret_cast<const char*>(bytes), d.length);
        if (!base::isValidUtf8(text)) return {Error::malformed_frame, "string argument is not UTF-8"};
        values.emplace_back(std::move(text));
        break;
      }
      case ArgumentClass::reply:
        break;
    }
  }
  return {};
}

}  // namespace

Status parseHeader(const std::uint8_t* bytes, std::size_t maxPayload, FrameHeader& header) noexcept {
  const auto length = static_cast<std::uint32_t>(readLittleEndian(bytes, 4));
  const std::uint8_t kind = bytes[4];
  if (bytes[5] != 0 || bytes[6] != 0 || bytes[7] != 0) return {Error::malformed_frame, "reserved header bytes set"};
  if (kind < 1 || kind > 4) return {Error::malformed_frame, "unknown frame kind"};
  header.kind = static_cast<FrameKind>(kind);
  header.length = length;
  const bool greeting = header.kind == FrameKind::hello || header.kind == FrameKind::welcome;
  if (greeting && length != kGreetingSize) return {Error::malformed_frame, "greeting of the wrong length"};
  if (length > maxPayload) return {Error::message_too_large, "frame exceeds the maximum message size"};
  return {};
}

Status decodeMessage(const Data& payload, IncomingMessage& message) {
  Reader reader(payload);
  if (!reader.has(8 + 2)) return {Error::malformed_frame, "truncated message"};
  message.replyToken = reader.take(8);
  const auto selectorLength = static_cast<std::size_t>(reader.take(2));
  if (selectorLength == 0 || selectorLength > kMaxSelectorLength)
    return {Error::malformed_frame, "bad selector length"};
  if (!reader.has(selectorLength)) return {Error::malformed_frame, "truncated selector"};
  const std::uint8_t* selector = reader.takeBytes(selectorLength);
  message.selector.assign(reinterpret_cast<const char*>(selector), selectorLength);
  for (char c : message.selector) {
    const bool allowed =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == ':';
    if (!allowed) return {Error::malformed_frame, "bad selector character"};
  }
  if (Status s = readArguments(reader, payload, true, message.classes, message.values); !s.ok()) return s;
  // A reply block can only be the last argument, so there is at most one.
  const bool withReply = !message.classes.empty() && message.classes.back() == ArgumentClass::reply;
  if (withReply != (message.replyToken != 0)) {
    return {Error::malformed_frame, "reply token and reply block disagree"};
  }
  return {};
}

Status decodeReply(const Data& payload, IncomingReply& reply) {
  Reader reader(payload);
  if (!reader.has(8)) return {Error::malformed_frame, "truncated reply"};
  reply.token = reader.take(8);
  if (reply.token == 0) return {Error::malformed_frame, "reply without a token"};
  return readArguments(reader, payload, false, reply.classes, reply.values);
}

Status checkGreeting(const Data& payload) noexcept {
  if (payload.size() != kGreetingSize || std::memcmp(payload.data(), kMagic, sizeof kMagic) != 0) {
    return {Error::malformed_frame, "not a greeting of this protocol"};
  }
  const auto version = static_cast<std::uint16_t>(readLittleEndian(payload.data() + 4, 2));
  const auto flags = static_cast<std::uint16_t>(readLittleEndian(payload.data() + 6, 2));
  if (version != kProtocolVersion || flags != 0) return {Error::malformed_frame, "unsupported protocol version"};
  return {};
}

std::size_t messagePayloadSize(std::string_view selector, const Arguments& values, bool withReply) noexcept {
  std::size_t size = 8 + 2 + selector.size() + 1 + kDescriptorSize * (values.size() + (withReply ? 1 : 0));
  for (const Value& value : values) size += valueSize(value);
  return size;
}

std::size_t replyPayloadSize(const Arguments& values) noexcept {
  std::size_t size = 8 + 1 + kDescriptorSize * values.size();
  for (const Value& value : values) size += valueSize(value);
  return size;
}

OutgoingFrame OutgoingFrame::greeting(FrameKind kind) {
  OutgoingFrame frame;
  putHeader(frame.head_, kind, kGreetingSize);
  frame.head_.append(kMagic, sizeof kMagic);
  putU16(frame.head_, kProtocolVersion);
  putU16(frame.head_, 0);
  frame.size_ = frame.head_.size();
  return frame;
}

OutgoingFrame OutgoingFrame::message(std::uint64_t replyToken, std::string_view selector, Arguments values) {
  OutgoingFrame frame;
  const bool withReply = replyToken != 0;
  const std::size_t payload = messagePayloadSize(selector, values, withReply);
  std::string& head = frame.head_;
  head.reserve(kHeaderSize + 8 + 2 + selector.size() + 1 + kDescriptorSize * (values.size() + 1));
  putHeader(head, FrameKind::message, payload);
  putU64(head, replyToken);
  putU16(head, static_cast<std::uint16_t>(selector.size()));
  head.append(selector);
  putU8(head, static_cast<std::uint8_t>(values.size() + (withReply ? 1 : 0)));
  putDescriptors(head, values);
  if (withReply) {
    putU8(head, static_cast<std::uint8_t>(ArgumentClass::reply));
    putU32(head, 0);
  }
  frame.replyToken_ = replyToken;
  frame.size_ = kHeaderSize + payload;
  frame.values_ = std::move(values);
  return frame;
}

OutgoingFrame OutgoingFrame::reply(std::uint64_t token, Arguments values) {
  OutgoingFrame frame;
  const std::size_t payload = replyPayloadSize(values);
  putHeader(frame.head_, FrameKind::reply, payload);
  putU64(frame.head_, token);
  putU8(frame.head_, static_cast<std::uint8_t>(values.size()));
  putDescriptors(frame.head_, values);
  frame.size_ = kHeaderSize + payload;
  frame.values_ = std::move(values);
  return frame;
}

std::size_t OutgoingFrame::gather(iovec* out, std::size_t capacity) const noexcept {
  std::size_t filled = 0;
  std::size_t skip = sent_;
  auto add = [&](const std::uint8_t* bytes, std::size_t length) {
    if (filled == capacity || length == 0) return;
    if (skip >= length) {
      skip -= length;
      return;
    }
    out[filled].iov_base = const_cast<std::uint8_t*>(bytes + skip);
    out[filled].iov_len = length - skip;
    skip = 0;
    ++filled;
  };
  add(reinterpret_cast<const std::uint8_t*>(head_.data()), head_.size());
  for (const Value& value : values_) add(valueBytes(value), valueSize(value));
  return filled;
}

std::size_t OutgoingFrame::consume(std::size_t count) noexcept {
  const std::size_t taken = count < remaining() ? count : remaining();
  sent_ += taken;
  return taken;
}

std::string OutgoingFrame::flatten() const {
  std::string out = head_;
  for (const Value& value : values_) out.append(reinterpret_cast<const char*>(valueBytes(value)), valueSize(value));
  return out;
}

}  // namespace tessaly::xpc::wire
