// Host manifests: where each supported browser looks for them, what they say, and writing, removing and
// listing them.
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly::nmhost {

inline constexpr std::string_view kHostName = "com.tessaly.browser_helper";

// Chromium and the browsers built on it name callers by origin (allowed_origins, "chrome-extension://ID/");
// Firefox by extension id (allowed_extensions).
enum class Family { chromium, firefox };

enum class Scope { user, system };

// A folder in which one browser looks for host manifests.
struct ManifestPlace {
  std::string browser;  // chromium, chrome, edge, brave, vivaldi, opera, firefox
  Family family;
  Scope scope;
  std::filesystem::path folder;

  std::filesystem::path file() const { return folder / (std::string(kHostName) + ".json"); }
};

// What the places depend on: the user's folders, and a folder that stands for "/" for system-wide places
// (staging an installation).
struct PlaceRoots {
  std::filesystem::path home;        // $HOME
  std::filesystem::path configHome;  // $XDG_CONFIG_HOME, or $HOME/.config
  std::filesystem::path systemRoot = "/";

  static PlaceRoots fromEnvironment();
};

// The browser names, in a fixed order.
const std::vector<std::string>& browserNames();

// Every place of `scope` for the named browsers (all when `browsers` is empty). Throws std::invalid_argument
// for an unknown name.
std::vector<ManifestPlace> manifestPlaces(Scope scope, const std::vector<std::string>& browsers,
                                          const PlaceRoots& roots);

struct Manifest {
  std::string name;
  std::string description;
  std::string path;
  std::string type;
  std::vector<std::string> allowed;  // origins (Chromium family) or extension ids (Firefox)
};

// The manifest's JSON text for a browser of `family`.
std::string manifestText(const Manifest& manifest, Family family);

// Reads a manifest; nothing, with the reason in `why`, when the file is missing or not a manifest.
std::optional<Manifest> readManifest(const std::filesystem::path& file, Family family, std::string& why);

// Extension ids as the two families write them. A Chromium id is 32 letters a-p (also accepted as its origin);
// a Firefox id is an e-mail-like name or a GUID in braces.
std::optional<std::string> chromiumOrigin(std::string_view id);
bool isFirefoxExtensionId(std::string_view id);

// The extension ids the project publishes its extension under, for manifests written without --extension-id.
const std::vector<std::string>& projectExtensionIds();

// What install does at each place: this host (at `hostPath`) allowed for the given ids of that place's family,
// together with those its manifest already allowed. Ids of the other family are left out. Returns false, with
// a line on `errors`, when a manifest could not be written.
bool installManifests(const std::vector<ManifestPlace>& places, const std::vector<std::string>& ids,
                      const std::filesystem::path& hostPath, std::ostream& out, std::ostream& errors);
bool uninstallManifests(const std::vector<ManifestPlace>& places, std::ostream& out, std::ostream& errors);
// One line per place: the browser, the scope, the file, and what it says (or that it is absent).
void describeManifests(const std::vector<ManifestPlace>& places, const std::filesystem::path& hostPath,
                       std::ostream& out);

}  // namespace tessaly::nmhost
