#include "tessaly/appkit/file_coordinator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tessaly/testing/child_process.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/signed_peers.h"
#include "tessaly/appkit/run_loop.h"

namespace tessaly::appkit {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::BundleLayout;
using testing::TemporaryDirectory;
using testing::makeBundle;
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

// Runs the main run loop until `presenter` has heard `message` (or ten seconds pass).
bool hears(const RecordingPresenter& presenter, const std::string& message) {
  const auto deadline = NSRunLoop::Clock::now() + 10s;
  while (NSRunLoop::Clock::now() < deadline) {
    if (std::find(presenter.messages.begin(), presenter.messages.end(), message) != presenter.messages.end()) {
      return true;
    }
    NSRunLoop::mainRunLoop().runUntilDate(NSRunLoop::Clock::now() + 10ms);
  }
  return false;
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

TEST_F(FileCoordinatorTest, ARenamedBundleIsFollowedToItsNewPlace) {
  auto presenter = present(bundle_);
  const fs::path renamed = dir_.path() / "Renamed.app";
  fs::rename(bundle_, renamed);
  ASSERT_TRUE(hears(*presenter, "moved " + renamed.native()));

  // The same item is still presented after the move: a change there is heard.
  writeFile(renamed / "Contents/Info.plist", "changed");
  EXPECT_TRUE(hears(*presenter, "changed"));

  // Moved into another folder.
  fs::create_directories(dir_.path() / "elsewhere");
  fs::rename(renamed, dir_.path() / "elsewhere/Renamed.app");
  EXPECT_TRUE(hears(*presenter, "moved " + (dir_.path() / "elsewhere/Renamed.app").native()));
}

TEST_F(FileCoordinatorTest, MovingAFolderAboveTheBundleMovesIt) {
  fs::create_directories(dir_.path() / "outer/inner");
  fs::rename(bundle_, dir_.path() / "outer/inner/Peer.app");
  auto presenter = present(dir_.path() / "outer/inner/Peer.app");
  fs::rename(dir_.path() / "outer", dir_.path() / "moved");
  EXPECT_TRUE(hears(*presenter, "moved " + (dir_.path() / "moved/inner/Peer.app").native()));
}

TEST_F(FileCoordinatorTest, AMoveAndBackIsStillAMove) {
  fs::create_directories(dir_.path() / "outer");
  fs::rename(bundle_, dir_.path() / "outer/Peer.app");
  auto presenter = present(dir_.path() / "outer/Peer.app");
  fs::rename(dir_.path() / "outer", dir_.path() / "away");
  fs::rename(dir_.path() / "away", dir_.path() / "outer");
  EXPECT_TRUE(hears(*presenter, "moved " + (dir_.path() / "outer/Peer.app").native()));
}

TEST_F(FileCoordinatorTest, AChangeAnywhereInsideTheBundleIsAChangeOfTheBundle) {
  auto presenter = present(bundle_);
  writeFile(bundle_ / "Contents/Resources/en.lproj/strings.txt", "changed deep inside");
  ASSERT_TRUE(hears(*presenter, "changed"));
  EXPECT_TRUE(std::all_of(presenter->messages.begin(), presenter->messages.end(),
                          [](const std::string& m) { return m == "changed"; }));

  // A folder made after the presenter was registered is watched too.
  fs::create_directories(bundle_ / "Contents/PlugIns");
  ASSERT_TRUE(hears(*presenter, "changed"));
  presenter->messages.clear();
  NSRunLoop::mainRunLoop().runUntilDate(NSRunLoop::Clock::now() + 50ms);
  presenter->messages.clear();
  writeFile(bundle_ / "Contents/PlugIns/new.txt", "x");
  EXPECT_TRUE(hears(*presenter, "changed"));

  // Attributes count as well.
  presenter->messages.clear();
  fs::permissions(bundle_ / "Contents/Info.plist", fs::perms::owner_read);
  EXPECT_TRUE(hears(*presenter, "changed"));
}

TEST_F(FileCoordinatorTest, ADeletedBundleIsReportedAndForgotten) {
  auto presenter = present(bundle_);
  fs::remove_all(bundle_);
  ASSERT_TRUE(hears(*presenter, "deleted"));
  // Emptying it was a change (reported once per batch of events the kernel handed over), before the deletion.
  ASSERT_GE(presenter->messages.size(), 2u);
  EXPECT_EQ(presenter->messages.back(), "deleted");
  EXPECT_TRUE(std::all_of(presenter->messages.begin(), presenter->messages.end() - 1,
                          [](const std::string& m) { return m == "changed"; }));
  const auto registered = NSFileCoordinator::filePresenters();
  EXPECT_EQ(std::find(registered.begin(), registered.end(), presenter), registered.end());
}

TEST_F(FileCoordinatorTest, APlainFileIsPresentedToo) {
  const fs::path file = dir_.path() / "notes.txt";
  writeFile(file, "one");
  auto presenter = present(file);
  writeFile(file, "two");
  ASSERT_TRUE(hears(*presenter, "changed"));
  fs::rename(file, dir_.path() / "renamed.txt");
  EXPECT_TRUE(hears(*presenter, "moved " + (dir_.path() / "renamed.txt").native()));
}

TEST_F(FileCoordinatorTest, ARemovedPresenterHearsNothingMore) {
  auto removed = present(bundle_);
  auto sentinel = present(bundle_);
  NSFileCoordinator::removeFilePresenter(removed);
  writeFile(bundle_ / "Contents/Info.plist", "changed");
  // Both would hear of the change in the same batch, in registration order.
  ASSERT_TRUE(hears(*sentinel, "changed"));
  EXPECT_TRUE(removed->messages.empty());
}

TEST(FileCoordinator, AnItemThatDoesNotExistCannotBePresented) {
  TemporaryDirectory dir;
  auto presenter = std::make_shared<RecordingPresenter>(dir.path() / "missing.app");
  EXPECT_FALSE(NSFileCoordinator::addFilePresenter(presenter));
  const auto registered = NSFileCoordinator::filePresenters();
  EXPECT_EQ(std::find(registered.begin(), registered.end(), presenter), registered.end());
}

// At the user's inotify watch limit a bundle could be watched only in part, and a change in the unwatched part
// would go unnoticed: the registration fails as a whole and says why. The limit is lowered in a user namespace
// of a helper process, which has a file coordinator of its own.
TEST(FileCoordinator, ARegistrationThatRunsOutOfWatchesFailsAsAWhole) {
  TemporaryDirectory dir;
  const auto bundle = makeBundle(dir.path(), BundleLayout{});
  std::filesystem::create_directories(bundle / "Contents/Resources/a/b/c");
  const auto present = [&](const std::string& limit) {
    testing::ChildProcess helper(testing::testAppPath(), {"present", limit, bundle.native()});
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
