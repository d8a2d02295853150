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

// The agent's application delegate; every call comes on the main thread. At launch it terminates at once
// unless the bundle's path begins with "/Applications". Otherwise it registers a MovementCanary on the bundle
// (a move, rename or change terminates the agent) and starts the broker's server. If either fails it logs
// the reason and terminates with a failure status rather than run unwatched or unreachable. At termination,
// refused launches included, it stops the server.
class AppDelegate final : public appkit::NSApplicationDelegate, public std::enable_shared_from_this<AppDelegate> {
 public:
  // What the delegate asks of the system. system() gives the real ones; tests put their own in place.
  struct Services {
    // The bundle this process runs from; nothing when it runs from none.
    std::function<std::optional<appkit::NSURL>()> currentBundleURL;
    // Asks the application to terminate normally.
    std::function<void()> terminate;
    // Logs `reason` as an error and asks the application to terminate with a failure status.
    std::function<void(const std::string& reason)> fail;
    // Registers a file presenter; false when it could not be (errno says why).
    std::function<bool(std::shared_ptr<appkit::NSFilePresenter>)> addFilePresenter;
    // Starts the process-wide server; false when it could not publish its service.
    std::function<bool()> startServer;
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

  // The delegate's window; the agent shows none, so it stays empty unless set.
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
