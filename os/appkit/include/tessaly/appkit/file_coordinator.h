// File presenters: objects told when the item they present is moved, renamed, changed or deleted.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tessaly/appkit/operation_queue.h"
#include "tessaly/appkit/url.h"

namespace tessaly::appkit {

// An object that presents a file or directory. For a directory (such as a bundle) a change anywhere inside it
// is a change of the item.
class NSFilePresenter {
 public:
  virtual ~NSFilePresenter() = default;

  virtual std::optional<NSURL> presentedItemURL() const = 0;
  // The queue the presenter messages run on; nullptr runs them on the file coordinator's own thread.
  virtual NSOperationQueue* presentedItemOperationQueue() const = 0;

  // The item was moved or renamed (or a folder above it was); `newURL` is where it is now.
  virtual void presentedItemDidMoveToURL(const NSURL& newURL) { (void)newURL; }
  // The item's contents or attributes changed.
  virtual void presentedItemDidChange() {}
  // The item was deleted; the presenter is then forgotten. Call the handler when done (with an error text
  // to report one); the default does nothing else.
  virtual void accommodatePresentedItemDeletionWithCompletionHandler(
      std::function<void(const std::optional<std::string>& error)> completionHandler) {
    completionHandler(std::nullopt);
  }
};

// Watches presented items with inotify on a thread of its own and delivers the presenter messages on each
// presenter's queue. The item is followed by identity, not by path: after a move the presenter keeps
// hearing of the same item at its new place.
class NSFileCoordinator {
 public:
  // Registers and retains `presenter`; returns false (and registers nothing) when its item cannot be watched,
  // for instance because it does not exist, or could be watched only in part because the user's inotify watches
  // ran out; errno then says why (ENOSPC at the watch limit). Messages start with changes made after this
  // returns.
  static bool addFilePresenter(std::shared_ptr<NSFilePresenter> presenter);
  // No message reaches the presenter once this returns, except one already running.
  static void removeFilePresenter(const std::shared_ptr<NSFilePresenter>& presenter);
  static std::vector<std::shared_ptr<NSFilePresenter>> filePresenters();
};

}  // namespace tessaly::appkit
