// MovementCanary: the file presenter that notices the application bundle being moved or changed.
#pragma once

#include <functional>
#include <optional>

#include "tessaly/appkit/file_coordinator.h"
#include "tessaly/appkit/operation_queue.h"
#include "tessaly/appkit/url.h"

namespace tessaly::app {

// Presents the application bundle and calls its handler, on the main queue, whenever the bundle is moved,
// renamed or changed. Deletion and the other presenter messages keep the file coordinator's defaults.
class MovementCanary final : public appkit::NSFilePresenter {
 public:
  MovementCanary(appkit::NSURL target, std::function<void()> handler)
      : target(std::move(target)), handler(std::move(handler)) {}

  std::optional<appkit::NSURL> presentedItemURL() const override { return target; }
  appkit::NSOperationQueue* presentedItemOperationQueue() const override {
    return appkit::NSOperationQueue::mainQueue();
  }
  void presentedItemDidMoveToURL(const appkit::NSURL& newURL) override {
    (void)newURL;
    handler();
  }
  void presentedItemDidChange() override { handler(); }

  const appkit::NSURL target;
  const std::function<void()> handler;
};

}  // namespace tessaly::app
