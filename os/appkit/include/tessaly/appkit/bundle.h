// Application bundles: NAME.app directories, their Info.plist and their main executable.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace tessaly::appkit {

// A bundle directory with a readable Contents/Info.plist (an Apple property list, XML or binary).
class NSBundle {
 public:
  // The bundle at `path`; nullptr if it is not a bundle (no readable Contents/Info.plist holding a dictionary).
  static std::shared_ptr<NSBundle> bundleWithPath(const std::string& path);
  // The bundle holding this process's executable (/proc/self/exe), read once; nullptr when not in one.
  static std::shared_ptr<NSBundle> mainBundle();
  // The innermost directory named NAME.app above `executablePath` (which need not exist), or nothing.
  static std::optional<std::string> bundlePathContaining(const std::string& executablePath);

  const std::string& bundlePath() const noexcept { return path_; }
  // CFBundleIdentifier, when it is present and a string.
  std::optional<std::string> bundleIdentifier() const;
  // Contents/MacOS/<CFBundleExecutable> inside the bundle, when CFBundleExecutable is a plain file name.
  std::optional<std::string> executablePath() const;
  // The string value of a top-level Info.plist key; nothing for a missing key or a value of another type.
  std::optional<std::string> objectForInfoDictionaryKey(const std::string& key) const;

  NSBundle(std::string path, std::map<std::string, std::string> info)
      : path_(std::move(path)), info_(std::move(info)) {}

 private:
  std::string path_;
  std::map<std::string, std::string> info_;  // the string-valued top-level entries of Info.plist
};

}  // namespace tessaly::appkit
