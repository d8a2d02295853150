#include "base64.h"

#include <openssl/evp.h>

namespace tessaly::peer {

std::string encodeBase64(std::string_view bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                      reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

std::optional<std::string> decodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  // EVP_DecodeBlock would skip surrounding blanks; bodies have none.
  if (!text.empty() && (text.front() == ' ' || text.back() == ' ')) return std::nullopt;
  std::string bytes(3 * (text.size() / 4) + 1, '\0');
  const int length =
      EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                      reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (length < 0) return std::nullopt;
  // The block decoder counts padding as zero bytes; the padding says how many to drop.
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
  // '=' anywhere but at the end is not padding.
  if (text.find('=') < text.size() - padding) return std::nullopt;
  bytes.resize(static_cast<std::size_t>(length) - padding);
  return bytes;
}

}  // namespace tessaly::peer
