#include "app_delegate.h"

#include "tessaly/appkit/running_application.h"
#include "tessaly/broker/xpc_server.h"

namespace tessaly::app {

AppDelegate::Services AppDelegate::Services::system() {
  Services services;
  services.currentBundleURL = []() -> std::optional<appkit::NSURL> {
    std::shared_ptr<appkit::NSRunningApplication> current = appkit::NSRunningApplication::currentApplication();
    return current ? current->bundleURL() : std::nullopt;
  };
  services.terminate = [] { appkit::NSApp().terminate(nullptr); };
  services.addFilePresenter = [](std::shared_ptr<appkit::NSFilePresenter> presenter) {
    appkit::NSFileCoordinator::addFilePresenter(std::move(presenter));
  };
  services.startServer = [] { broker::XPCServer::shared().start(); };
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
  services_.addFilePresenter(canary);
  movementCanary_ = std::move(canary);
  services_.startServer();
}

void AppDelegate::applicationWillTerminate(const appkit::NSNotification& notification) {
  (void)notification;
  services_.stopServer();
}

}  // namespace tessaly::app
