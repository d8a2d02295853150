#include "tessaly/foundation/error.h"

namespace tessaly::foundation {

std::optional<std::string> Error::localizedDescription() const {
  if (!userInfo) return std::nullopt;
  auto it = userInfo->find(std::string(kNSLocalizedDescriptionKey));
  if (it == userInfo->end()) return std::nullopt;
  return it->second;
}

std::string describe(const Error& error) {
  std::string text = error.domain + " " + std::to_string(error.code);
  if (auto description = error.localizedDescription()) text += ": " + *description;
  return text;
}

}  // namespace tessaly::foundation
