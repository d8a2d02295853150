#include "tessaly/appkit/file_coordinator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "tessaly/appkit/run_loop.h"
#include "tessaly/testing/child_process.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/signed_peers.h"

namespace tessaly::appkit {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::BundleLayout;
using testing::makeBundle;
using testing::TemporaryDirectory;
using testing::writeFile;

// Records every presenter message, on the main queue, with the thread it came on.
class RecordingPresenter final : public NSFilePresenter {
 public:
  explicit RecordingPresenter(fs::path item) : item_(std::move(item)) {}

  std::optional<NSURL> presentedItemURL() const override { return NSURL::fileURLWithPath(item_.native()); }
  NSOperationQueue* presentedItemOperationQueue() const override { return NSOperationQueue::mainQueue(); }
  void presentedItemDidMoveToURL(const NSURL& newURL) override { record("moved " + newURL.path()); }
  void presentedItemDidChange() override { record("changed"); }
  void accommodatePresentedItemDeletionWithCompletionHandler(
      std::function<void(const std::optional<std::string>&)> completionHandler) override {
    record("deleted");
    completionHandler(std::nullopt);
  }

  std::vector<std::string> messages;
  bool offMainThread = false;

 private:
  void record(std::string message) {
    if (!NSThread::isMainThread()) offMainThread = true;
    messages.push_back(std::move(message));
  }
  fs::path item_;
};

// Runs the main run loop until `presenter` has heard `message` (or the test's patience runs out).
bool hears(const RecordingPresenter& presenter, const std::string& message) {
  return testing::eventually([&] {
    NSRunLoop::mainRunLoop().runUntilDate(NSRunLoop::Clock::now() + 10ms);
    return std::find(presenter.messages.begin(), presenter.messages.end(), message) != presenter.messages.end();
  });
}

class FileCoordinatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bundle_ = makeBundle(dir_.path(), BundleLayout{});
    writeFile(bundle_ / "Contents/Resources/en.lproj/strings.txt", "hello");
  }
  std::shared_ptr<RecordingPresenter> present(const fs::path& item) {
    auto presenter = std::make_shared<RecordingPresenter>(item);
    EXPECT_TRUE(NSFileCoordinator::addFilePresenter(presenter));
    presenters_.push_back(presenter);
    return presenter;
  }
  void TearDown() override {
    for (const auto& presenter : presenters_) {
      NSFileCoordinator::removeFilePresenter(presenter);
      EXPECT_FALSE(presenter->offMainThread);
    }
  }

  TemporaryDirectory dir_;
  fs::path bundle_;
  std::vector<std::shared_ptr<RecordingPresenter>> presenters_;
};

// A move of the item, or of a folder above it, is reported with the new place, and the item is still presented
// there: a change to it is heard.
TEST_F(FileCoordinatorTest, AMovedItemIsFollowedToItsNewPlace) {
  struct Case {
    const char* item;  // where the bundle (or, without ".app", a plain file) is put
    std::vector<std::pair<const char*, const char*>> renames;
    const char* movedTo;
  };
  const std::vector<Case> cases{{"Peer.app", {{"Peer.app", "Renamed.app"}}, "Renamed.app"},
                                {"Peer.app", {{"Peer.app", "elsewhere/Peer.app"}}, "elsewhere/Peer.app"},
                                {"outer/inner/Peer.app", {{"outer", "moved"}}, "moved/inner/Peer.app"},
                                {"outer/Peer.app", {{"outer", "away"}, {"away", "outer"}}, "outer/Peer.app"},
                                {"notes.txt", {{"notes.txt", "renamed.txt"}}, "renamed.txt"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.item) + " -> " + c.movedTo);
    TemporaryDirectory dir;
    const fs::path item = dir.path() / c.item;
    fs::create_directories(item.parent_path());
    if (item.extension() == ".app") {
      fs::rename(makeBundle(dir.path(), BundleLayout{}), item);  // Peer.app, put in place
    } else {
      writeFile(item, "one");
    }
    auto presenter = present(item);
    for (const auto& [from, to] : c.renames) {
      fs::create_directories((dir.path() / to).parent_path());
      fs::rename(dir.path() / from, dir.path() / to);
    }
    const fs::path moved = dir.path() / c.movedTo;
    ASSERT_TRUE(hears(*presenter, "moved " + moved.native()));
    writeFile(fs::is_directory(moved) ? moved / "Contents/Info.plist" : moved, "changed");
    EXPECT_TRUE(hears(*presenter, "changed"));
  }
}

// A change anywhere inside the bundle, in a folder made after the presenter was registered too, and of
// attributes alone, is a change of the bundle.
TEST_F(FileCoordinatorTest, AChangeAnywhereInsideTheBundleIsAChangeOfTheBundle) {
  auto presenter = present(bundle_);
  const std::vector<std::function<void()>> changes{
      [&] { writeFile(bundle_ / "Contents/Resources/en.lproj/strings.txt", "changed deep inside"); },
      [&] { fs::create_directories(bundle_ / "Contents/PlugIns"); },
      [&] { writeFile(bundle_ / "Contents/PlugIns/new.txt", "x"); },
      [&] { fs::permissions(bundle_ / "Contents/Info.plist", fs::perms::owner_read); }};
  for (std::size_t i = 0; i < changes.size(); ++i) {
    NSRunLoop::mainRunLoop().runUntilDate(NSRunLoop::Clock::now() + 50ms);  // the last change's late batches
    presenter->messages.clear();
    changes[i]();
    ASSERT_TRUE(hears(*presenter, "changed")) << "change " << i;
    EXPECT_EQ(std::count(presenter->messages.begin(), presenter->messages.end(), "changed"),
              static_cast<std::ptrdiff_t>(presenter->messages.size()));
  }
}

// A deleted bundle is reported, after the changes of emptying it (one per batch of events the kernel handed over),
// and its presenter forgotten; a presenter removed before hears nothing of it (both would hear in the same
// batches, in registration order); an item that does not exist cannot be presented.
TEST_F(FileCoordinatorTest, DeletedAndRemovedPresentersAreForgotten) {
  auto removed = present(bundle_);
  auto presenter = present(bundle_);
  NSFileCoordinator::removeFilePresenter(removed);
  fs::remove_all(bundle_);
  ASSERT_TRUE(hears(*presenter, "deleted"));
  EXPECT_TRUE(removed->messages.empty());
  ASSERT_GE(presenter->messages.size(), 2u);
  EXPECT_EQ(presenter->messages.back(), "deleted");
  EXPECT_TRUE(std::all_of(presenter->messages.begin(), presenter->messages.end() - 1,
                          [](const std::string& m) { return m == "changed"; }));
  auto missing = std::make_shared<RecordingPresenter>(dir_.path() / "missing.app");
  EXPECT_FALSE(NSFileCoordinator::addFilePresenter(missing));
  const auto registered = NSFileCoordinator::filePresenters();
  for (const auto& gone : {presenter, missing}) {
    EXPECT_EQ(std::find(registered.begin(), registered.end(), gone), registered.end());
  }
}

// At the user's inotify watch limit a bundle could be watched only in part, and a change in the unwatched part
// would go unnoticed: the registration fails as a whole and says why. The limit is lowered in a user namespace
// of a helper process, which has a file coordinator of its own.
TEST_F(FileCoordinatorTest, ARegistrationThatRunsOutOfWatchesFailsAsAWhole) {
  fs::create_directories(bundle_ / "Contents/Resources/a/b/c");
  const auto present = [&](const std::string& limit) {
    testing::ChildProcess helper(testing::testAppPath(), {"present", limit, bundle_.native()});
    return helper.readLine().value_or("no answer");
  };
  EXPECT_EQ(present("0"), "registered");
  const std::string limited = present("2");
  if (limited.starts_with("skip: ")) GTEST_SKIP() << limited.substr(6);
  EXPECT_EQ(limited, "refused: No space left on device");
  EXPECT_EQ(present("100"), "registered");
}

}  // namespace
}  // namespace tessaly::appkit
