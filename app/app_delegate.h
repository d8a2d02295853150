// AppDelegate: the agent's launch decision, its bundle watcher, and the start and stop of the broker.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "movement_canary.h"
#include "tessaly/appkit/application.h"
#include "tessaly/appkit/file_coordinator.h"
#include "tessaly/appkit/url.h"

namespace tessaly::app {

// The application's delegate. At launch it lets the agent run only from under "/Applications": otherwise it
// asks the application to terminate at once. When it may run, it watches its own bundle with a
// MovementCanary (a move, rename or change terminates the agent) and starts the process-wide broker. At
// termination it stops the broker, also after a refused launch. Every call comes on the main thread.
//
// An agent that could not watch its bundle, or whose broker could not publish its service, would run deaf or
// unwatched while reporting itself as running: it logs why and ends with a failure status instead, so that
// systemd and the user see it. (A bundle without an identifier is another matter: the broker logs it and the
// agent keeps running without a listener.)
class AppDelegate final : public appkit::NSApplicationDelegate, public std::enable_shared_from_this<AppDelegate> {
 public:
  // What the delegate asks of the system. system() gives the real ones; tests put their own in place.
  struct Services {
    // NSRunningApplication.currentApplication.bundleURL
    std::function<std::optional<appkit::NSURL>()> currentBundleURL;
    // NSApp terminate:
    std::function<void()> terminate;
    // Logs `reason` as an error and asks the application to terminate with a failure status.
    std::function<void(const std::string& reason)> fail;
    // NSFileCoordinator addFilePresenter:; false when the presenter could not be registered (errno says why)
    std::function<bool(std::shared_ptr<appkit::NSFilePresenter>)> addFilePresenter;
    // start of the process-wide XPCServer (created on first use); false when it could not publish its service
    std::function<bool()> startServer;
    // stop of the process-wide XPCServer
    std::function<void()> stopServer;

    static Services system();
  };

  // The prefix a bundle path must begin with, compared character by character.
  static constexpr std::string_view kApplicationsFolder = "/Applications";
  static bool mayRunFromPath(std::string_view bundlePath) noexcept {
    return bundlePath.starts_with(kApplicationsFolder);
  }

  AppDelegate() : AppDelegate(Services::system()) {}
  explicit AppDelegate(Services services) : services_(std::move(services)) {}

  void applicationDidFinishLaunching(const appkit::NSNotification& notification) override;
  void applicationWillTerminate(const appkit::NSNotification& notification) override;

  // A window that an interface file may connect; the agent has none and never reads it.
  const std::shared_ptr<appkit::NSWindow>& window() const noexcept { return window_; }
  void setWindow(std::shared_ptr<appkit::NSWindow> window) { window_ = std::move(window); }

  // The one canary of the process once launching has succeeded.
  const std::shared_ptr<MovementCanary>& movementCanary() const noexcept { return movementCanary_; }

 private:
  std::shared_ptr<appkit::NSWindow> window_;
  std::shared_ptr<MovementCanary> movementCanary_;
  Services services_;
};

}  // namespace tessaly::app
