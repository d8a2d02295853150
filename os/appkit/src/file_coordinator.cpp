#include "tessaly/appkit/file_coordinator.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace tessaly::appkit {
namespace {

namespace fs = std::filesystem;

// What is asked of the kernel for the presented item itself, for folders inside it, and for the folders above.
constexpr std::uint32_t kContentEvents =
    IN_ATTRIB | IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr std::uint32_t kItemMask = kContentEvents | IN_MOVE_SELF | IN_DELETE_SELF;
constexpr std::uint32_t kInsideMask = kContentEvents | IN_ONLYDIR;
constexpr std::uint32_t kAncestorMask = IN_MOVE_SELF | IN_ONLYDIR;
// The folder holding the item also reports the item's removal: the item's own IN_DELETE_SELF does not come
// while its descriptor is held open.
constexpr std::uint32_t kParentMask = kAncestorMask | IN_DELETE;
constexpr std::uint32_t kStructural = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

enum class Role { item, inside, parent, ancestor };

std::string fdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

std::optional<std::string> currentPath(int fd) {
  std::string target(PATH_MAX, '\0');
  const ssize_t length = ::readlink(fdPath(fd).c_str(), target.data(), target.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return std::nullopt;
  target.resize(static_cast<std::size_t>(length));
  return target;
}

// One registered presenter and the item it presents, held open so that it is followed by identity.
struct Presented {
  std::shared_ptr<NSFilePresenter> presenter;
  std::shared_ptr<std::atomic<bool>> active = std::make_shared<std::atomic<bool>>(true);
  int item = -1;  // O_PATH descriptor of the item
  std::string path;
  bool directory = false;
  std::vector<int> itemWatches;      // the item and, for a folder, every folder inside it
  std::vector<int> ancestorWatches;  // the folders above the item (its parent first), up to but not the root

  // Gathered while a batch of events is read.
  bool moved = false;
  bool changed = false;
  bool structureChanged = false;
  bool maybeGone = false;
  bool maybeMoved = false;  // events were lost: a move shows only as a different path

  ~Presented() {
    if (item >= 0) ::close(item);
  }
};

struct Watcher {
  Presented* presented;
  Role role;
};

// A presenter message on its way to the presenter's queue.
struct Delivery {
  NSOperationQueue* queue;
  std::function<void()> message;
};

class Coordinator {
 public:
  static Coordinator& shared() {
    static Coordinator* const coordinator = new Coordinator();
    return *coordinator;
  }

  bool add(std::shared_ptr<NSFilePresenter> presenter) {
    if (!presenter) return false;
    const std::optional<NSURL> url = presenter->presentedItemURL();
    if (!url || inotify_ < 0) return false;
    auto presented = std::make_unique<Presented>();
    presented->presenter = std::move(presenter);
    presented->item = ::open(url->path().c_str(), O_PATH | O_CLOEXEC);
    if (presented->item < 0) return false;
    struct stat info {};
    if (::fstat(presented->item, &info) != 0) return false;
    presented->directory = S_ISDIR(info.st_mode);
    const std::optional<std::string> path = currentPath(presented->item);
    if (!path) return false;
    presented->path = *path;

    std::lock_guard lock(mutex_);
    const int itemWatch = addWatch(fdPath(presented->item), kItemMask, *presented, Role::item);
    if (itemWatch < 0) return false;
    presented->itemWatches.push_back(itemWatch);
    exhausted_ = 0;
    if (presented->directory) watchInside(*presented);
    watchAncestors(*presented);
    presented_.push_back(std::move(presented));
    if (exhausted_ != 0) {
      // At the kernel's watch limit part of the item would go unwatched: the registration fails as a whole.
      const int cause = exhausted_;
      forget(std::prev(presented_.end()));
      errno = cause;
      return false;
    }
    std::call_once(started_, [this] { std::thread([this] { serve(); }).detach(); });
    return true;
  }

  void remove(const std::shared_ptr<NSFilePresenter>& presenter) {
    std::lock_guard lock(mutex_);
    for (auto it = presented_.begin(); it != presented_.end(); ++it) {
      if ((*it)->presenter == presenter) {
        forget(it);
        return;
      }
    }
  }

  std::vector<std::shared_ptr<NSFilePresenter>> presenters() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<NSFilePresenter>> result;
    for (const auto& presented : presented_) result.push_back(presented->presenter);
    return result;
  }

 private:
  Coordinator() : inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

  // Under mutex_. A watch refused for want of kernel resources (the per-user watch limit) is noted in
  // exhausted_; other refusals (a folder that cannot be read) leave that one folder unwatched.
  int addWatch(const std::string& path, std::uint32_t mask, Presented& presented, Role role) {
    const int wd = ::inotify_add_watch(inotify_, path.c_str(), mask | IN_MASK_ADD);
    if (wd >= 0) {
      watchers_[wd].push_back(Watcher{&presented, role});
    } else if (errno == ENOSPC || errno == ENOMEM) {
      exhausted_ = errno;
    }
    return wd;
  }

  // Under mutex_: removes the presenter's watchers of `role` from `watches`; a watch nobody uses is dropped.
  void dropWatches(Presented& presented, std::vector<int>& watches, Role role) {
    for (const int wd : watches) {
      const auto found = watchers_.find(wd);
      if (found == watchers_.end()) continue;  // the kernel already dropped it
      std::vector<Watcher>& list = found->second;
      for (auto w = list.begin(); w != list.end(); ++w) {
        if (w->presented == &presented && w->role == role) {
          list.erase(w);
          break;
        }
      }
      if (list.empty()) {
        ::inotify_rm_watch(inotify_, wd);
        watchers_.erase(found);
      }
    }
    watches.clear();
  }

  // Under mutex_: watches every folder inside the presented folder (symbolic links are not followed).
  void watchInside(Presented& presented) {
    const fs::path root = fdPath(presented.item);
    std::error_code error;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
      if (!it->is_directory(error) || it->is_symlink(error)) continue;
      const int wd = addWatch(it->path().native(), kInsideMask, presented, Role::inside);
      if (wd >= 0) presented.itemWatches.push_back(wd);
    }
  }

  void rewatchInside(Presented& presented) {
    const int itemWatch = presented.itemWatches.empty() ? -1 : presented.itemWatches.front();
    std::vector<int> inside(presented.itemWatches.begin() + (itemWatch < 0 ? 0 : 1), presented.itemWatches.end());
    dropWatches(presented, inside, Role::inside);
    presented.itemWatches.assign(itemWatch < 0 ? 0 : 1, itemWatch);
    watchInside(presented);
  }

  // Under mutex_: a move of any folder above the item moves the item too.
  void watchAncestors(Presented& presented) {
    dropAncestors(presented);
    fs::path folder = fs::path(presented.path).parent_path();
    for (bool parent = true; folder.has_relative_path(); parent = false) {
      const int wd = addWatch(folder.native(), parent ? kParentMask : kAncestorMask, presented,
                              parent ? Role::parent : Role::ancestor);
      if (wd >= 0 || parent) presented.ancestorWatches.push_back(wd);
      folder = folder.parent_path();
    }
  }

  void dropAncestors(Presented& presented) {
    if (presented.ancestorWatches.empty()) return;
    std::vector<int> parent{presented.ancestorWatches.front()};
    std::vector<int> above(presented.ancestorWatches.begin() + 1, presented.ancestorWatches.end());
    dropWatches(presented, parent, Role::parent);
    dropWatches(presented, above, Role::ancestor);
    presented.ancestorWatches.clear();
  }

  enum class Deactivate { no, yes };

  // Under mutex_: drops a registration; with Deactivate::yes, messages still on their way are dropped too.
  void forget(std::vector<std::unique_ptr<Presented>>::iterator it, Deactivate deactivate = Deactivate::yes) {
    Presented& presented = **it;
    if (deactivate == Deactivate::yes) presented.active->store(false);
    if (!presented.itemWatches.empty()) {
      std::vector<int> item{presented.itemWatches.front()};
      std::vector<int> inside(presented.itemWatches.begin() + 1, presented.itemWatches.end());
      dropWatches(presented, item, Role::item);
      dropWatches(presented, inside, Role::inside);
    }
    dropAncestors(presented);
    presented_.erase(it);
  }

  void serve() {
    sigset_t all;
    sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
      pollfd descriptor{inotify_, POLLIN, 0};
      if (::poll(&descriptor, 1, -1) < 0) continue;
      const ssize_t length = ::read(inotify_, buffer, sizeof buffer);
      if (length <= 0) continue;
      std::vector<Delivery> deliveries;
      {
        std::lock_guard lock(mutex_);
        for (ssize_t offset = 0; offset < length;) {
          const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
          note(*event);
          offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
        finishBatch(deliveries);
      }
      // Outside the lock: a message may well add or remove presenters.
      for (Delivery& delivery : deliveries) {
        if (delivery.queue != nullptr) {
          delivery.queue->addOperationWithBlock(std::move(delivery.message));
        } else {
          delivery.message();
        }
      }
    }
  }

  // Under mutex_: records what one event means for the presenters watching it.
  void note(const inotify_event& event) {
    if ((event.mask & IN_Q_OVERFLOW) != 0) {
      // Events were lost: anything may have happened.
      for (const auto& presented : presented_) presented->changed = presented->maybeMoved = true;
      return;
    }
    const auto found = watchers_.find(event.wd);
    if (found == watchers_.end()) return;
    if ((event.mask & IN_IGNORED) != 0) {
      watchers_.erase(found);
      return;
    }
    const bool content = (event.mask & (kContentEvents | IN_DELETE_SELF | IN_UNMOUNT)) != 0;
    const bool structural = (event.mask & IN_ISDIR) != 0 && (event.mask & kStructural) != 0;
    for (const Watcher& watcher : found->second) {
      Presented& presented = *watcher.presented;
      switch (watcher.role) {
        case Role::item:
          if ((event.mask & IN_MOVE_SELF) != 0) presented.moved = true;
          [[fallthrough]];
        case Role::inside:
          if (content) presented.changed = true;
          if (structural) presented.structureChanged = true;
          break;
        case Role::parent:
          if ((event.mask & IN_DELETE) != 0 && event.len > 0 &&
              fs::path(presented.path).filename() == std::string(event.name)) {
            presented.maybeGone = true;  // finishBatch finds out
          }
          [[fallthrough]];
        case Role::ancestor:
          if ((event.mask & IN_MOVE_SELF) != 0) presented.moved = true;
          break;
      }
    }
  }

  // Under mutex_: turns what a batch of events recorded into presenter messages.
  void finishBatch(std::vector<Delivery>& deliveries) {
    for (auto it = presented_.begin(); it != presented_.end();) {
      Presented& presented = **it;
      if (!presented.moved && !presented.changed && !presented.structureChanged && !presented.maybeGone &&
          !presented.maybeMoved) {
        ++it;
        continue;
      }
      auto message = [&presented, &deliveries](std::function<void(NSFilePresenter&)> call) {
        deliveries.push_back(Delivery{presented.presenter->presentedItemOperationQueue(),
                                      [presenter = presented.presenter, active = presented.active, call] {
                                        if (active->load()) call(*presenter);
                                      }});
      };
      struct stat info {};
      if (::fstat(presented.item, &info) != 0 || info.st_nlink == 0) {
        // What happened to the contents on the way out is reported first.
        if (presented.changed) message([](NSFilePresenter& presenter) { presenter.presentedItemDidChange(); });
        message([](NSFilePresenter& presenter) {
          presenter.accommodatePresentedItemDeletionWithCompletionHandler([](const std::optional<std::string>&) {});
        });
        // The item is gone; so is the presenter's registration. The messages queued above still run.
        forget(it, Deactivate::no);
        it = presented_.begin();
        continue;
      }
      if (presented.moved || presented.maybeMoved) {
        // A move reported by the kernel counts even when the item is back at its old path by now.
        const std::optional<std::string> path = currentPath(presented.item);
        const bool elsewhere = path && *path != presented.path;
        if (path && (presented.moved || elsewhere)) {
          presented.path = *path;
          if (elsewhere) watchAncestors(presented);
          message([url = NSURL::fileURLWithPath(*path)](NSFilePresenter& presenter) {
            presenter.presentedItemDidMoveToURL(url);
          });
        }
      }
      if (presented.changed) message([](NSFilePresenter& presenter) { presenter.presentedItemDidChange(); });
      if (presented.structureChanged && presented.directory) rewatchInside(presented);
      presented.moved = presented.changed = presented.structureChanged = presented.maybeGone = false;
      presented.maybeMoved = false;
      ++it;
    }
  }

  const int inotify_;
  std::mutex mutex_;
  int exhausted_ = 0;  // under mutex_: errno of a watch refused for want of resources during add()
  std::vector<std::unique_ptr<Presented>> presented_;
  std::unordered_map<int, std::vector<Watcher>> watchers_;
  std::once_flag started_;
};

}  // namespace

bool NSFileCoordinator::addFilePresenter(std::shared_ptr<NSFilePresenter> presenter) {
  return Coordinator::shared().add(std::move(presenter));
}

void NSFileCoordinator::removeFilePresenter(const std::shared_ptr<NSFilePresenter>& presenter) {
  Coordinator::shared().remove(presenter);
}

std::vector<std::shared_ptr<NSFilePresenter>> NSFileCoordinator::filePresenters() {
  return Coordinator::shared().presenters();
}

}  // namespace tessaly::appkit
