// tessaly-nm-host: the native-messaging host that browsers start for the Tessaly extension.
//   tessaly-nm-host chrome-extension://ID/                 started by Chromium-family browsers
//   tessaly-nm-host /path/to/manifest.json EXTENSION_ID    started by Firefox
//   tessaly-nm-host install|uninstall|status ...           manages the host manifests
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "caller.h"
#include "manifests.h"
#include "relay.h"
#include "tessaly/os/log.h"
#include "tessaly/verification/code_signature_validator.h"

extern char** environ;

namespace {

using namespace tessaly::nmhost;
namespace fs = std::filesystem;

void log(std::string_view line) {
  tessaly::oslog::write(tessaly::oslog::Level::info, "com.tessaly.nm-host", "host", line);
}
void logError(std::string_view line) {
  tessaly::oslog::write(tessaly::oslog::Level::error, "com.tessaly.nm-host", "host", line);
}

fs::path thisProgram() {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path() : self;
}

// Started by a browser: every check, then the relay. Ends the process.
[[noreturn]] void serveBrowser(int argc, char** argv) {
  // The parent is read first, before anything can make it change.
  std::string why;
  std::optional<ParentProcess> parent = ParentProcess::capture(why);
  if (const std::vector<std::string> names = loaderVariables(environ); !names.empty()) {
    std::string list;
    for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
    log("Starting again without the loader's variables " + list);
    restartWithout(names, argv, environ, why);
    logError("Refused to run with the loader's variables " + list + ": " + why);
    std::_Exit(1);
  }
  ::signal(SIGPIPE, SIG_IGN);  // a browser that has gone shows as a failed write

  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const std::optional<Caller> caller = callerFromArguments(arguments, why);
  if (!caller) {
    logError("Refused to start: " + why);
    std::_Exit(1);
  }
  if (!parent) {
    logError("Refused to serve " + caller->origin + ": " + why);
    std::_Exit(1);
  }
  const fs::path self = thisProgram();
  if (!callerAllowed(*caller, candidateManifests(*caller, PlaceRoots::fromEnvironment(), parent->commandLine()), self,
                     why)) {
    logError("Refused to serve " + caller->origin + ": " + why);
    std::_Exit(1);
  }
  if (!parent->isBrowser(tessaly::verification::CodeSignatureValidator::validateRemoteBrowser)) {
    logError("Refused to serve " + caller->origin + ": the process that started this host (pid " +
             std::to_string(parent->pid()) + ", " + parent->executable() + ") is not a supported browser");
    std::_Exit(1);
  }
  log("Serving " + caller->origin + " for " + parent->executable() + " (pid " + std::to_string(parent->pid()) + ")");
  RelayOptions options;
  const RelayEnd end = runRelay(STDIN_FILENO, STDOUT_FILENO, options);
  std::_Exit(static_cast<int>(end));
}

int manageManifests(int argc, char** argv) {
  CLI::App app{
      "The native-messaging host of the Tessaly Browser Helper.\n\n"
      "Browsers start it with the caller's origin (chrome-extension://ID/) or, Firefox, with the manifest's\n"
      "path and the extension's id; it then carries the extension's messages to the Tessaly desktop app\n"
      "through the agent. Run by hand, it writes, removes and lists its host manifests."};
  app.require_subcommand(1);
  std::vector<std::string> browsers;
  std::vector<std::string> ids;
  bool user = false;
  bool system = false;
  std::string root = "/";
  std::string host;
  const std::string browserList = [] {
    std::string list;
    for (const std::string& name : browserNames()) list += (list.empty() ? "" : ", ") + name;
    return list;
  }();
  const auto scopeOptions = [&](CLI::App* command) {
    auto* userFlag =
        command->add_flag("--user", user, "The current user's manifests (default for install and uninstall)");
    command->add_flag("--system", system, "The system-wide manifests (needs root)")->excludes(userFlag);
    command->add_option("--browser", browsers, "A browser: " + browserList + " (repeatable; default: all)")
        ->check(CLI::IsMember(browserNames()));
    command->add_option("--root", root, "Folder that stands for / for system-wide manifests (staging)")
        ->capture_default_str();
  };
  CLI::App* install = app.add_subcommand("install", "Write a host manifest into every supported browser's folder");
  scopeOptions(install);
  install->add_option("--extension-id", ids,
                      "An extension to allow: a Chromium id (32 letters a-p) or a Firefox id (name@domain or "
                      "{GUID}); repeatable; added to the project's own and to those already allowed");
  install->add_option("--host", host, "Path of the host written into the manifests (default: this program)");
  CLI::App* uninstall = app.add_subcommand("uninstall", "Remove the host manifests");
  scopeOptions(uninstall);
  CLI::App* status = app.add_subcommand("status", "List the host manifests, user-wide and system-wide");
  scopeOptions(status);
  CLI11_PARSE(app, argc, argv);

  for (const std::string& id : ids) {
    if (!chromiumOrigin(id) && !isFirefoxExtensionId(id)) {
      std::cerr << "tessaly-nm-host: \"" << id << "\" is neither a Chromium nor a Firefox extension id\n";
      return 2;
    }
  }
  PlaceRoots roots = PlaceRoots::fromEnvironment();
  roots.systemRoot = root;
  std::vector<Scope> scopes;
  if (system)
    scopes = {Scope::system};
  else if (user || !status->parsed())
    scopes = {Scope::user};
  else
    scopes = {Scope::user, Scope::system};
  std::vector<ManifestPlace> places;
  try {
    for (Scope scope : scopes) {
      for (ManifestPlace& place : manifestPlaces(scope, browsers, roots)) places.push_back(std::move(place));
    }
  } catch (const std::invalid_argument& problem) {
    std::cerr << "tessaly-nm-host: " << problem.what() << "\n";
    return 2;
  }
  const fs::path hostPath = host.empty() ? thisProgram() : fs::path(host);
  if (install->parsed()) {
    if (!hostPath.is_absolute()) {
      std::cerr << "tessaly-nm-host: the host path must be absolute\n";
      return 2;
    }
    std::vector<std::string> allowed = projectExtensionIds();
    allowed.insert(allowed.end(), ids.begin(), ids.end());
    return installManifests(places, allowed, hostPath, std::cout, std::cerr) ? 0 : 1;
  }
  if (uninstall->parsed()) return uninstallManifests(places, std::cout, std::cerr) ? 0 : 1;
  describeManifests(places, hostPath, std::cout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string first = argc > 1 ? argv[1] : "";
  if (first.starts_with("chrome-extension://") || (first.starts_with("/") && argc > 2)) serveBrowser(argc, argv);
  return manageManifests(argc, argv);
}
