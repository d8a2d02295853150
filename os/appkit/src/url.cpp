#include "tessaly/appkit/url.h"

namespace tessaly::appkit {
namespace {

bool isUnreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~' || c == '/';
}

}  // namespace

NSURL NSURL::fileURLWithPath(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return NSURL(std::move(path));
}

std::string NSURL::absoluteString() const {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text = "file://";
  for (unsigned char c : path_) {
    if (isUnreserved(c)) {
      text.push_back(static_cast<char>(c));
    } else {
      text.push_back('%');
      text.push_back(kHex[c >> 4]);
      text.push_back(kHex[c & 0xF]);
    }
  }
  return text;
}

std::string NSURL::lastPathComponent() const {
  const std::size_t slash = path_.rfind('/');
  return slash == std::string::npos ? path_ : path_.substr(slash + 1);
}

}  // namespace tessaly::appkit
