#include "frames.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/uio.h>

namespace tessaly::nmhost {
namespace {

constexpr std::size_t kHeader = 4;

std::uint32_t nativeLength(const std::uint8_t* bytes) {
  std::uint32_t length = 0;
  std::memcpy(&length, bytes, kHeader);
  return length;
}

std::uint32_t littleEndianLength(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

bool FrameReader::feed(std::span<const std::uint8_t> bytes, const std::function<void(std::string_view)>& onFrame) {
  const auto payloadOf = [](const std::uint8_t* frame, std::uint32_t length) {
    return std::string_view(reinterpret_cast<const char*>(frame) + kHeader, length);
  };
  const auto append = [&](std::size_t count) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
    bytes = bytes.subspan(count);
  };
  // Takes a frame's declared length; past the limit the stream cannot be followed any more.
  const auto declare = [&](const std::uint8_t* header) {
    declared_ = nativeLength(header);
    broken_ = declared_ > maxLength_;
    return !broken_;
  };
  while (!broken_ && !bytes.empty()) {
    if (pending_.empty() && bytes.size() >= kHeader) {
      if (!declare(bytes.data())) break;
      if (bytes.size() - kHeader >= declared_) {
        // A whole frame in the input is handed on where it lies, without a copy.
        onFrame(payloadOf(bytes.data(), declared_));
        bytes = bytes.subspan(kHeader + declared_);
        continue;
      }
    }
    if (pending_.size() < kHeader) {
      append(std::min(kHeader - pending_.size(), bytes.size()));
      if (pending_.size() < kHeader || !declare(pending_.data())) break;
    }
    append(std::min(kHeader + declared_ - pending_.size(), bytes.size()));
    if (pending_.size() == kHeader + declared_) {
      onFrame(payloadOf(pending_.data(), declared_));
      pending_.clear();
      pending_.shrink_to_fit();
    }
  }
  return !broken_;
}

std::string agentBody(std::string_view payload) {
  std::string body(kHeader + payload.size(), '\0');
  const auto length = static_cast<std::uint32_t>(payload.size());
  for (std::size_t i = 0; i < kHeader; ++i) body[i] = static_cast<char>((length >> (8 * i)) & 0xff);
  std::memcpy(body.data() + kHeader, payload.data(), payload.size());
  return body;
}

std::optional<std::span<const std::uint8_t>> browserPayload(std::span<const std::uint8_t> body, std::string& why) {
  if (body.size() < kHeader) {
    why = "a body of " + std::to_string(body.size()) + " bytes is not a native-messaging frame";
    return std::nullopt;
  }
  const std::uint32_t length = littleEndianLength(body.data());
  if (length != body.size() - kHeader) {
    why = "a body of " + std::to_string(body.size()) + " bytes declares " + std::to_string(length) +
          " bytes of JSON; it is not one native-messaging frame";
    return std::nullopt;
  }
  if (length > kMaxMessageToBrowser) {
    why = "a message of " + std::to_string(length) + " bytes is over the browser's limit of " +
          std::to_string(kMaxMessageToBrowser) + " bytes";
    return std::nullopt;
  }
  return body.subspan(kHeader);
}

bool writeBrowserFrame(int fd, std::span<const std::uint8_t> payload) {
  auto length = static_cast<std::uint32_t>(payload.size());
  iovec parts[2] = {{&length, sizeof length}, {const_cast<std::uint8_t*>(payload.data()), payload.size()}};
  iovec* next = parts;
  int left = 2;
  while (left > 0) {
    const ssize_t written = ::writev(fd, next, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    auto done = static_cast<std::size_t>(written);
    while (left > 0 && done >= next->iov_len) {  // parts written whole (an empty payload among them)
      done -= next->iov_len;
      ++next;
      --left;
    }
    if (left > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + done;
      next->iov_len -= done;
    }
  }
  return true;
}

}  // namespace tessaly::nmhost
