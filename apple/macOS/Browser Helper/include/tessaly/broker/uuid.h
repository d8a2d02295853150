// Random UUIDs: the identities of connected clients and the identifiers of relayed requests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tessaly::broker {

struct Uuid {
  std::array<std::uint8_t, 16> bytes{};

  // A fresh random (version 4) UUID.
  static Uuid random();
  // The canonical text form: 36 characters, 8-4-4-4-12 upper-case hexadecimal digits with hyphens.
  std::string string() const;

  friend bool operator==(const Uuid&, const Uuid&) noexcept = default;
};

struct UuidHash {
  std::size_t operator()(const Uuid& uuid) const noexcept;
};

// The identifier of a request relayed to the desktop app: the text of a fresh random UUID.
inline std::string makeRequestIdentifier() { return Uuid::random().string(); }

}  // namespace tessaly::broker
