#include "tessaly/xpc/value.h"

#include <cstring>

namespace tessaly::xpc {

std::string_view describe(ArgumentClass argumentClass) noexcept {
  switch (argumentClass) {
    case ArgumentClass::data:
      return "data";
    case ArgumentClass::string:
      return "string";
    case ArgumentClass::reply:
      return "reply";
  }
  return "unknown";
}

Data::Data(std::vector<std::uint8_t> bytes) {
  if (bytes.empty()) return;
  auto owner = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
  bytes_ = owner->data();
  size_ = owner->size();
  owner_ = std::move(owner);
}

Data::Data(std::shared_ptr<const void> owner, const std::uint8_t* bytes, std::size_t size) noexcept
    : owner_(std::move(owner)), bytes_(size == 0 ? nullptr : bytes), size_(size) {}

Data Data::copy(const void* bytes, std::size_t size) {
  if (size == 0) return Data{};
  auto buffer = std::make_shared_for_overwrite<std::uint8_t[]>(size);
  std::memcpy(buffer.get(), bytes, size);
  const std::uint8_t* start = buffer.get();
  return Data(std::shared_ptr<const void>(std::move(buffer)), start, size);
}

Data Data::fromText(std::string_view text) { return copy(text.data(), text.size()); }

std::string_view Data::text() const noexcept {
  return size_ == 0 ? std::string_view{} : std::string_view(reinterpret_cast<const char*>(bytes_), size_);
}

std::vector<std::uint8_t> Data::toVector() const { return {bytes_, bytes_ + size_}; }

Data Data::subdata(std::size_t offset, std::size_t length) const noexcept {
  if (offset >= size_) return Data{};
  if (length > size_ - offset) length = size_ - offset;
  return Data(owner_, bytes_ + offset, length);
}

bool operator==(const Data& a, const Data& b) noexcept {
  return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.bytes_, b.bytes_, a.size_) == 0);
}

ArgumentClass classOf(const Value& value) noexcept {
  return std::holds_alternative<Data>(value) ? ArgumentClass::data : ArgumentClass::string;
}

}  // namespace tessaly::xpc
