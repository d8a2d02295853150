// Values carried by IPC messages: immutable shared byte strings, text, and their argument classes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tessaly::xpc {

// The class of one argument, as an interface declares it and as the wire carries it.
enum class ArgumentClass : std::uint8_t {
  data = 1,    // an opaque byte string (Data)
  string = 2,  // UTF-8 text (std::string)
  reply = 3,   // a reply block; appears in declarations and on the wire, never as a Value
};

std::string_view describe(ArgumentClass argumentClass) noexcept;

// An immutable byte string. Copies share the same bytes, so a body handed on from one connection to
// another is never copied; a received body points into the frame it arrived in.
class Data {
 public:
  Data() noexcept = default;
  explicit Data(std::vector<std::uint8_t> bytes);
  // Views [bytes, bytes + size), kept alive by `owner`.
  Data(std::shared_ptr<const void> owner, const std::uint8_t* bytes, std::size_t size) noexcept;

  static Data copy(const void* bytes, std::size_t size);
  static Data fromText(std::string_view text);

  const std::uint8_t* data() const noexcept { return bytes_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::span<const std::uint8_t> span() const noexcept { return {bytes_, size_}; }
  std::string_view text() const noexcept;
  std::vector<std::uint8_t> toVector() const;
  // The bytes [offset, offset + length), sharing this string's storage; clamped to its end.
  Data subdata(std::size_t offset, std::size_t length) const noexcept;

  friend bool operator==(const Data& a, const Data& b) noexcept;

 private:
  std::shared_ptr<const void> owner_;
  const std::uint8_t* bytes_ = nullptr;
  std::size_t size_ = 0;
};

using Value = std::variant<Data, std::string>;
using Arguments = std::vector<Value>;

ArgumentClass classOf(const Value& value) noexcept;

}  // namespace tessaly::xpc
