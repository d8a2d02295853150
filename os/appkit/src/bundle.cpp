#include "tessaly/appkit/bundle.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>

#include "process_files.h"

namespace tessaly::appkit {
namespace {

constexpr std::size_t kMaxInfoPlistSize = std::size_t{1} << 20;
constexpr std::string_view kBundleSuffix = ".app";

struct PlistFree {
  void operator()(plist_t node) const noexcept { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// The string-valued top-level entries of the property list at `file`; nothing if it is not a dictionary.
std::optional<std::map<std::string, std::string>> readInfoDictionary(const std::string& file) {
  std::optional<std::string> bytes = detail::readSmallFile(file, kMaxInfoPlistSize);
  if (!bytes || bytes->empty()) return std::nullopt;
  plist_t raw = nullptr;
  plist_from_memory(bytes->data(), static_cast<std::uint32_t>(bytes->size()), &raw);
  PlistPtr root(raw);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;

  std::map<std::string, std::string> entries;
  plist_dict_iter iterator = nullptr;
  plist_dict_new_iter(root.get(), &iterator);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root.get(), iterator, &key, &value);
    if (key == nullptr) break;
    if (value != nullptr && plist_get_node_type(value) == PLIST_STRING) {
      std::uint64_t length = 0;
      const char* text = plist_get_string_ptr(value, &length);
      entries.emplace(key, std::string(text, static_cast<std::size_t>(length)));
    }
    std::free(key);
  }
  std::free(iterator);
  return entries;
}

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::shared_ptr<NSBundle> NSBundle::bundleWithPath(const std::string& path) {
  const std::string root = withoutTrailingSlashes(path);
  if (root.empty()) return nullptr;
  std::optional<std::map<std::string, std::string>> info = readInfoDictionary(root + "/Contents/Info.plist");
  if (!info) return nullptr;
  return std::make_shared<NSBundle>(root, std::move(*info));
}

std::shared_ptr<NSBundle> NSBundle::mainBundle() {
  static const std::shared_ptr<NSBundle> bundle = []() -> std::shared_ptr<NSBundle> {
    std::optional<std::string> executable = detail::executableOfProcess("self");
    if (!executable) return nullptr;
    std::optional<std::string> path = bundlePathContaining(*executable);
    return path ? bundleWithPath(*path) : nullptr;
  }();
  return bundle;
}

std::optional<std::string> NSBundle::bundlePathContaining(const std::string& executablePath) {
  // Walk the components from the end; the first one named NAME.app (NAME not empty) ends the bundle's path.
  std::string path = withoutTrailingSlashes(executablePath);
  while (!path.empty()) {
    const std::size_t slash = path.rfind('/');
    const std::string_view name =
        slash == std::string::npos ? std::string_view(path) : std::string_view(path).substr(slash + 1);
    if (name.size() > kBundleSuffix.size() && name.ends_with(kBundleSuffix)) return path;
    if (slash == std::string::npos || slash == 0) break;
    path.resize(slash);
  }
  return std::nullopt;
}

std::optional<std::string> NSBundle::bundleIdentifier() const {
  return objectForInfoDictionaryKey("CFBundleIdentifier");
}

std::optional<std::string> NSBundle::executablePath() const {
  std::optional<std::string> name = objectForInfoDictionaryKey("CFBundleExecutable");
  if (!name || name->empty() || *name == "." || *name == ".." || name->find('/') != std::string::npos) {
    return std::nullopt;
  }
  return path_ + "/Contents/MacOS/" + *name;
}

std::optional<std::string> NSBundle::objectForInfoDictionaryKey(const std::string& key) const {
  const auto found = info_.find(key);
  if (found == info_.end()) return std::nullopt;
  return found->second;
}

}  // namespace tessaly::appkit
