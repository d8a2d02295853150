// File URLs: the file-system path of an item, in the form the application services hand around.
#pragma once

#include <string>

namespace tessaly::appkit {

// A file URL. Only file URLs exist here; the path is kept as given (without trailing slashes).
class NSURL {
 public:
  static NSURL fileURLWithPath(std::string path);

  // The file-system path, e.g. "/Applications/Tessaly Browser Helper.app".
  const std::string& path() const noexcept { return path_; }
  // "file://" followed by the percent-encoded path.
  std::string absoluteString() const;
  // The last path component ("Tessaly Browser Helper.app"); empty for "/".
  std::string lastPathComponent() const;

  friend bool operator==(const NSURL&, const NSURL&) = default;

 private:
  explicit NSURL(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

}  // namespace tessaly::appkit
