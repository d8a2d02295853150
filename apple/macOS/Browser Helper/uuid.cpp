#include "tessaly/broker/uuid.h"

#include <uuid/uuid.h>

#include <cstring>
#include <functional>

namespace tessaly::broker {

Uuid Uuid::random() {
  // From the kernel's generator: identifiers nobody can guess, so that no peer can answer another's request.
  Uuid uuid;
  uuid_generate_random(uuid.bytes.data());
  return uuid;
}

std::string Uuid::string() const {
  char text[37];
  uuid_unparse_upper(bytes.data(), text);
  return std::string(text, 36);
}

std::size_t UuidHash::operator()(const Uuid& uuid) const noexcept {
  // The bytes are random already; folding the two halves keeps all of them.
  std::uint64_t halves[2];
  std::memcpy(halves, uuid.bytes.data(), sizeof halves);
  return std::hash<std::uint64_t>{}(halves[0] ^ (halves[1] * 0x9E3779B97F4A7C15ull));
}

}  // namespace tessaly::broker
