#include "app_delegate.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace tessaly::app {
namespace {

using appkit::NSURL;

const appkit::NSNotification kLaunched{appkit::NSApplicationDidFinishLaunchingNotification};
const appkit::NSNotification kTerminating{appkit::NSApplicationWillTerminateNotification};
const NSURL kInstalled = NSURL::fileURLWithPath("/Applications/Tessaly Browser Helper.app");

// Services that record what the delegate asks for.
struct Recorder {
  std::optional<NSURL> bundleURL = kInstalled;
  int terminations = 0, starts = 0, stops = 0;
  std::vector<std::shared_ptr<appkit::NSFilePresenter>> presenters;
  bool presenterRegisters = true, serverPublishes = true;
  std::vector<std::string> failures;

  AppDelegate::Services services() {
    AppDelegate::Services s;
    s.currentBundleURL = [this] { return bundleURL; };
    s.terminate = [this] { ++terminations; };
    s.fail = [this](const std::string& reason) { failures.push_back(reason); };
    s.addFilePresenter = [this](std::shared_ptr<appkit::NSFilePresenter> p) {
      errno = ENOSPC;
      if (presenterRegisters) presenters.push_back(std::move(p));
      return presenterRegisters;
    };
    s.startServer = [this] {
      ++starts;
      return serverPublishes;
    };
    s.stopServer = [this] { ++stops; };
    return s;
  }
};

// Only a bundle path that begins with "/Applications", character by character, may run; anywhere else the
// agent terminates at once. Either way termination stops the server.
TEST(AppDelegate, RunsOnlyFromPathsThatBeginWithApplications) {
  const std::vector<std::pair<std::optional<std::string>, bool>> cases{
      {"/Applications/Tessaly Browser Helper.app", true},
      {"/Applications", true},
      {"/Applications Extra/X.app", true},
      {"/ApplicationsX.app", true},
      {std::nullopt, false},
      {"/Users/u/Applications/X.app", false},
      {"/applications/X.app", false},
      {"/Volumes/Image/Applications/X.app", false},
      {"/Application", false},
      {"Applications/X.app", false}};
  for (const auto& [path, runs] : cases) {
    SCOPED_TRACE(path.value_or("no bundle"));
    Recorder recorder;
    recorder.bundleURL = path ? std::optional(NSURL::fileURLWithPath(*path)) : std::nullopt;
    auto delegate = std::make_shared<AppDelegate>(recorder.services());
    delegate->applicationDidFinishLaunching(kLaunched);
    EXPECT_EQ(recorder.terminations, runs ? 0 : 1);
    EXPECT_EQ(recorder.starts, runs ? 1 : 0);
    ASSERT_EQ(recorder.presenters.size(), runs ? 1u : 0u);
    if (runs) {
      // The registered presenter is the delegate's canary, presenting the bundle.
      EXPECT_EQ(recorder.presenters[0], delegate->movementCanary());
      EXPECT_EQ(delegate->movementCanary()->presentedItemURL(), recorder.bundleURL);
    }
    delegate->applicationWillTerminate(kTerminating);
    EXPECT_EQ(recorder.stops, 1);
  }
}

// A move or change of the bundle terminates the agent, on the main queue, while the delegate exists; a
// deletion keeps the coordinator's default.
TEST(AppDelegate, TheCanaryTerminatesOnMovesAndChangesWhileTheDelegateExists) {
  Recorder recorder;
  auto delegate = std::make_shared<AppDelegate>(recorder.services());
  delegate->applicationDidFinishLaunching(kLaunched);
  ASSERT_EQ(recorder.presenters.size(), 1u);
  auto& canary = dynamic_cast<MovementCanary&>(*recorder.presenters[0]);
  EXPECT_EQ(canary.presentedItemOperationQueue(), appkit::NSOperationQueue::mainQueue());

  canary.presentedItemDidChange();
  canary.presentedItemDidMoveToURL(NSURL::fileURLWithPath("/tmp/Tessaly Browser Helper.app"));
  EXPECT_EQ(recorder.terminations, 2);
  bool completed = false;
  canary.accommodatePresentedItemDeletionWithCompletionHandler([&](const auto&) { completed = true; });
  EXPECT_TRUE(completed);
  EXPECT_EQ(recorder.terminations, 2);
  EXPECT_EQ(recorder.stops, 0);  // stopping is termination's business

  // The canary holds the delegate weakly: once the delegate is gone the handler does nothing.
  delegate.reset();
  canary.presentedItemDidChange();
  EXPECT_EQ(recorder.terminations, 2);
}

// An agent that cannot watch its bundle, or whose service cannot be published, ends with a failure and a reason
// instead of running unwatched or unreachable.
TEST(AppDelegate, EndsWithAFailureWhenItCannotWatchItsBundleOrPublishItsService) {
  for (const bool watchFails : {true, false}) {
    Recorder recorder;
    recorder.presenterRegisters = !watchFails;
    recorder.serverPublishes = watchFails;
    std::make_shared<AppDelegate>(recorder.services())->applicationDidFinishLaunching(kLaunched);
    EXPECT_EQ(recorder.starts, watchFails ? 0 : 1);
    ASSERT_EQ(recorder.failures.size(), 1u);
    EXPECT_NE(recorder.failures[0].find(watchFails ? "cannot watch the application bundle /Applications/Tessaly "
                                                     "Browser Helper.app (No space left on device)"
                                                   : "could not be published"),
              std::string::npos)
        << recorder.failures[0];
    EXPECT_EQ(recorder.terminations, 0) << "a failure, not an ordinary termination";
  }
}

}  // namespace
}  // namespace tessaly::app
