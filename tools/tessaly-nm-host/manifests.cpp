#include "manifests.h"

#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "tessaly/model/json.h"

namespace tessaly::nmhost {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kDescription =
    "Tessaly Browser Helper: carries messages between the Tessaly "
    "extension and the Tessaly desktop app";
constexpr std::size_t kMaxManifestSize = 64 << 10;

struct BrowserFolders {
  std::string_view name;
  Family family;
  std::vector<std::string_view> user;    // under the user's config folder (Chromium family) or home (Firefox)
  std::vector<std::string_view> system;  // absolute
};

// Where each browser looks. Chromium-family browsers read the NativeMessagingHosts folder of each channel's
// profile folder and one system folder; Firefox reads ~/.mozilla and /usr/lib/mozilla.
const std::vector<BrowserFolders>& browserFolders() {
  static const std::vector<BrowserFolders> table = {
      {"chromium", Family::chromium, {"chromium/NativeMessagingHosts"}, {"/etc/chromium/native-messaging-hosts"}},
      {"chrome",
       Family::chromium,
       {"google-chrome/NativeMessagingHosts", "google-chrome-beta/NativeMessagingHosts",
        "google-chrome-unstable/NativeMessagingHosts"},
       {"/etc/opt/chrome/native-messaging-hosts"}},
      {"edge",
       Family::chromium,
       {"microsoft-edge/NativeMessagingHosts", "microsoft-edge-beta/NativeMessagingHosts",
        "microsoft-edge-dev/NativeMessagingHosts"},
       {"/etc/opt/edge/native-messaging-hosts"}},
      {"brave",
       Family::chromium,
       {"BraveSoftware/Brave-Browser/NativeMessagingHosts", "BraveSoftware/Brave-Browser-Beta/NativeMessagingHosts",
        "BraveSoftware/Brave-Browser-Nightly/NativeMessagingHosts"},
       {"/etc/brave/native-messaging-hosts", "/etc/opt/brave/native-messaging-hosts"}},
      {"vivaldi",
       Family::chromium,
       {"vivaldi/NativeMessagingHosts", "vivaldi-snapshot/NativeMessagingHosts"},
       {"/etc/opt/vivaldi/native-messaging-hosts"}},
      {"opera", Family::chromium, {"opera/NativeMessagingHosts"}, {"/etc/opt/opera/native-messaging-hosts"}},
      {"firefox", Family::firefox, {".mozilla/native-messaging-hosts"}, {"/usr/lib/mozilla/native-messaging-hosts"}},
  };
  return table;
}

std::vector<std::string> splitList(std::string_view list) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(';', start);
    if (end == std::string_view::npos) end = list.size();
    if (end > start) items.emplace_back(list.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

// The string entries of a manifest's list member; nothing if it is not a list of strings.
std::optional<std::vector<std::string>> stringList(simdjson::dom::object object, std::string_view key) {
  simdjson::dom::array array;
  if (object[key].get_array().get(array) != simdjson::SUCCESS) return std::nullopt;
  std::vector<std::string> items;
  for (simdjson::dom::element item : array) {
    std::string_view text;
    if (item.get_string().get(text) != simdjson::SUCCESS) return std::nullopt;
    items.emplace_back(text);
  }
  return items;
}

std::string allowedKey(Family family) { return family == Family::chromium ? "allowed_origins" : "allowed_extensions"; }

}  // namespace

PlaceRoots PlaceRoots::fromEnvironment() {
  PlaceRoots roots;
  const char* home = std::getenv("HOME");
  roots.home = home != nullptr && *home == '/' ? fs::path(home) : fs::path();
  const char* config = std::getenv("XDG_CONFIG_HOME");
  roots.configHome = config != nullptr && *config == '/' ? fs::path(config) : roots.home / ".config";
  return roots;
}

const std::vector<std::string>& browserNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all;
    for (const BrowserFolders& browser : browserFolders()) all.emplace_back(browser.name);
    return all;
  }();
  return names;
}

std::vector<ManifestPlace> manifestPlaces(Scope scope, const std::vector<std::string>& browsers,
                                          const PlaceRoots& roots) {
  for (const std::string& name : browsers) {
    if (std::find(browserNames().begin(), browserNames().end(), name) == browserNames().end()) {
      throw std::invalid_argument("unknown browser \"" + name + "\"");
    }
  }
  if (scope == Scope::user && roots.home.empty()) throw std::invalid_argument("HOME is not set to an absolute path");
  std::vector<ManifestPlace> places;
  for (const BrowserFolders& browser : browserFolders()) {
    if (!browsers.empty() && std::find(browsers.begin(), browsers.end(), browser.name) == browsers.end()) continue;
    const auto& folders = scope == Scope::user ? browser.user : browser.system;
    for (std::string_view folder : folders) {
      fs::path path = scope == Scope::system
                          ? roots.systemRoot / fs::path(folder).relative_path()
                          : (browser.family == Family::firefox ? roots.home : roots.configHome) / fs::path(folder);
      places.push_back({std::string(browser.name), browser.family, scope, std::move(path)});
    }
  }
  return places;
}

std::string manifestText(const Manifest& manifest, Family family) {
  std::string text = "{\n  \"name\": ";
  model::appendJsonString(text, manifest.name);
  text += ",\n  \"description\": ";
  model::appendJsonString(text, manifest.description);
  text += ",\n  \"path\": ";
  model::appendJsonString(text, manifest.path);
  text += ",\n  \"type\": ";
  model::appendJsonString(text, manifest.type);
  text += ",\n  \"" + allowedKey(family) + "\": [";
  for (std::size_t i = 0; i < manifest.allowed.size(); ++i) {
    text += i == 0 ? "\n    " : ",\n    ";
    model::appendJsonString(text, manifest.allowed[i]);
  }
  text += manifest.allowed.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return text;
}

std::optional<Manifest> readManifest(const fs::path& file, Family family, std::string& why) {
  std::error_code error;
  const auto size = fs::file_size(file, error);
  if (error) {
    why = file.native() + ": " + error.message();
    return std::nullopt;
  }
  if (size > kMaxManifestSize || !fs::is_regular_file(file, error)) {
    why = file.native() + " is not a manifest (not a small regular file)";
    return std::nullopt;
  }
  std::ifstream in(file, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  simdjson::dom::parser parser;
  simdjson::dom::object object;
  if (parser.parse(text).get_object().get(object) != simdjson::SUCCESS) {
    why = file.native() + " is not a JSON object";
    return std::nullopt;
  }
  Manifest manifest;
  for (auto [key, field] : {std::pair{"name", &manifest.name}, std::pair{"description", &manifest.description},
                            std::pair{"path", &manifest.path}, std::pair{"type", &manifest.type}}) {
    std::string_view value;
    if (object[key].get_string().get(value) == simdjson::SUCCESS) *field = std::string(value);
  }
  std::optional<std::vector<std::string>> allowed = stringList(object, allowedKey(family));
  if (manifest.name.empty() || manifest.path.empty() || !allowed) {
    why = file.native() + " lacks a name, a path or " + allowedKey(family);
    return std::nullopt;
  }
  manifest.allowed = std::move(*allowed);
  return manifest;
}

std::optional<std::string> chromiumOrigin(std::string_view id) {
  constexpr std::string_view kScheme = "chrome-extension://";
  if (id.starts_with(kScheme)) {
    id.remove_prefix(kScheme.size());
    if (!id.ends_with('/')) return std::nullopt;
    id.remove_suffix(1);
  }
  if (id.size() != 32 || !std::all_of(id.begin(), id.end(), [](char c) { return c >= 'a' && c <= 'p'; })) {
    return std::nullopt;
  }
  return std::string(kScheme) + std::string(id) + "/";
}

bool isFirefoxExtensionId(std::string_view id) {
  if (id.size() < 3 || id.size() > 255) return false;
  if (id.front() == '{' && id.back() == '}') {
    // {8-4-4-4-12 hexadecimal digits}
    if (id.size() != 38) return false;
    for (std::size_t i = 1; i + 1 < id.size(); ++i) {
      const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
      if (dash ? id[i] != '-' : !std::isxdigit(static_cast<unsigned char>(id[i]))) return false;
    }
    return true;
  }
  const std::size_t at = id.find('@');
  if (at == std::string_view::npos || at + 1 == id.size() || id.find('@', at + 1) != std::string_view::npos)
    return false;
  return std::all_of(id.begin(), id.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' || c == '@';
  });
}

const std::vector<std::string>& projectExtensionIds() {
  static const std::vector<std::string> ids = [] {
    std::vector<std::string> all = splitList(TESSALY_CHROMIUM_EXTENSION_IDS);
    for (std::string& id : splitList(TESSALY_FIREFOX_EXTENSION_IDS)) all.push_back(std::move(id));
    return all;
  }();
  return ids;
}

bool installManifests(const std::vector<ManifestPlace>& places, const std::vector<std::string>& ids,
                      const fs::path& hostPath, std::ostream& out, std::ostream& errors) {
  bool allWritten = true;
  for (const ManifestPlace& place : places) {
    Manifest manifest{std::string(kHostName), std::string(kDescription), hostPath.native(), "stdio", {}};
    std::string ignored;
    if (std::optional<Manifest> existing = readManifest(place.file(), place.family, ignored)) {
      if (existing->name == kHostName) manifest.allowed = existing->allowed;
    }
    for (const std::string& id : ids) {
      std::optional<std::string> entry = place.family == Family::chromium
                                             ? chromiumOrigin(id)
                                             : (isFirefoxExtensionId(id) ? std::optional(id) : std::nullopt);
      if (entry && std::find(manifest.allowed.begin(), manifest.allowed.end(), *entry) == manifest.allowed.end()) {
        manifest.allowed.push_back(std::move(*entry));
      }
    }
    std::error_code error;
    fs::create_directories(place.folder, error);
    // Written beside and renamed into place, so that a browser never reads half a manifest.
    const fs::path temporary = place.folder / ("." + std::string(kHostName) + ".json." + std::to_string(::getpid()));
    {
      std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
      file << manifestText(manifest, place.family);
      if (!file.flush()) error = std::make_error_code(std::errc::io_error);
    }
    if (!error) fs::permissions(temporary, fs::perms(0644), error);
    if (!error) fs::rename(temporary, place.file(), error);
    if (error) {
      std::error_code removal;
      fs::remove(temporary, removal);
      errors << "tessaly-nm-host: cannot write " << place.file().native() << ": " << error.message() << "\n";
      allWritten = false;
      continue;
    }
    out << "wrote " << place.file().native() << "\n";
  }
  return allWritten;
}

bool uninstallManifests(const std::vector<ManifestPlace>& places, std::ostream& out, std::ostream& errors) {
  bool allRemoved = true;
  for (const ManifestPlace& place : places) {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(place.file(), error))) continue;
    if (fs::remove(place.file(), error)) {
      out << "removed " << place.file().native() << "\n";
    } else if (error) {
      errors << "tessaly-nm-host: cannot remove " << place.file().native() << ": " << error.message() << "\n";
      allRemoved = false;
    }
  }
  return allRemoved;
}

void describeManifests(const std::vector<ManifestPlace>& places, const fs::path& hostPath, std::ostream& out) {
  for (const ManifestPlace& place : places) {
    out << place.browser << " " << (place.scope == Scope::user ? "user" : "system") << " " << place.file().native()
        << ": ";
    std::error_code error;
    if (!fs::exists(fs::symlink_status(place.file(), error))) {
      out << "absent\n";
      continue;
    }
    std::string why;
    const std::optional<Manifest> manifest = readManifest(place.file(), place.family, why);
    if (!manifest) {
      out << "unreadable (" << why << ")\n";
      continue;
    }
    const bool thisHost = fs::equivalent(manifest->path, hostPath, error);
    out << "host " << manifest->path
        << (thisHost                            ? " (this program)"
            : fs::exists(manifest->path, error) ? " (another program)"
                                                : " (missing)")
        << ", allows";
    if (manifest->allowed.empty()) out << " nothing";
    for (const std::string& id : manifest->allowed) out << " " << id;
    out << "\n";
  }
}

}  // namespace tessaly::nmhost
