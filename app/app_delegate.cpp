#include "app_delegate.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tessaly/appkit/running_application.h"
#include "tessaly/broker/xpc_server.h"
#include "tessaly/os/log.h"

namespace tessaly::app {

AppDelegate::Services AppDelegate::Services::system() {
  Services services;
  services.currentBundleURL = []() -> std::optional<appkit::NSURL> {
    std::shared_ptr<appkit::NSRunningApplication> current = appkit::NSRunningApplication::currentApplication();
    return current ? current->bundleURL() : std::nullopt;
  };
  services.terminate = [] { appkit::NSApp().terminate(nullptr); };
  services.fail = [](const std::string& reason) {
    oslog::error("com.tessaly.browser-helper", "app", reason);
    appkit::NSApp().terminate(nullptr, EXIT_FAILURE);
  };
  services.addFilePresenter = [](std::shared_ptr<appkit::NSFilePresenter> presenter) {
    return appkit::NSFileCoordinator::addFilePresenter(std::move(presenter));
  };
  services.startServer = [] {
    broker::XPCServer& server = broker::XPCServer::shared();
    server.start();
    return !server.publicationError().has_value();
  };
  services.stopServer = [] { broker::XPCServer::shared().stop(); };
  return services;
}

void AppDelegate::applicationDidFinishLaunching(const appkit::NSNotification& notification) {
  (void)notification;
  const std::optional<appkit::NSURL> bundleURL = services_.currentBundleURL();
  if (!bundleURL) {
    services_.terminate();
    return;
  }
  if (!mayRunFromPath(bundleURL->path())) {
    services_.terminate();
    return;
  }
  // The canary reaches this delegate only weakly: once the delegate is gone its handler does nothing.
  std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
  auto canary = std::make_shared<MovementCanary>(*bundleURL, [weakSelf] {
    if (std::shared_ptr<AppDelegate> self = weakSelf.lock()) self->services_.terminate();
  });
  if (!services_.addFilePresenter(canary)) {
    services_.fail("cannot watch the application bundle " + bundleURL->path() + " (" + std::strerror(errno) +
                   "); ending, since a move or change of it would go unnoticed");
    return;
  }
  movementCanary_ = std::move(canary);
  if (!services_.startServer()) {
    services_.fail("the IPC service could not be published (the reason is logged above); ending");
  }
}

void AppDelegate::applicationWillTerminate(const appkit::NSNotification& notification) {
  (void)notification;
  services_.stopServer();
}

}  // namespace tessaly::app
