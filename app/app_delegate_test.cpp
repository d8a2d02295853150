#include "app_delegate.h"

#include <gtest/gtest.h>

namespace tessaly::app {
namespace {

using appkit::NSNotification;
using appkit::NSURL;

// Services that record what the delegate asks for.
struct Recorder {
  std::optional<NSURL> bundleURL;
  int terminations = 0;
  int starts = 0;
  int stops = 0;
  std::vector<std::shared_ptr<appkit::NSFilePresenter>> presenters;

  AppDelegate::Services services() {
    AppDelegate::Services s;
    s.currentBundleURL = [this] { return bundleURL; };
    s.terminate = [this] { ++terminations; };
    s.addFilePresenter = [this](std::shared_ptr<appkit::NSFilePresenter> p) { presenters.push_back(std::move(p)); };
    s.startServer = [this] { ++starts; };
    s.stopServer = [this] { ++stops; };
    return s;
  }
};

const NSNotification kLaunched{appkit::NSApplicationDidFinishLaunchingNotification};
const NSNotification kTerminating{appkit::NSApplicationWillTerminateNotification};

TEST(AppDelegate, RunsFromAnyPathThatBeginsWithApplications) {
  for (const char* path : {"/Applications/Tessaly Browser Helper.app", "/Applications", "/Applications Extra/X.app",
                           "/ApplicationsX.app"}) {
    Recorder recorder;
    recorder.bundleURL = NSURL::fileURLWithPath(path);
    auto delegate = std::make_shared<AppDelegate>(recorder.services());
    delegate->applicationDidFinishLaunching(kLaunched);
    EXPECT_EQ(recorder.terminations, 0) << path;
    EXPECT_EQ(recorder.starts, 1) << path;
    ASSERT_EQ(recorder.presenters.size(), 1u) << path;
    // The registered presenter is the delegate's canary, presenting the bundle.
    EXPECT_EQ(recorder.presenters[0], delegate->movementCanary());
    EXPECT_EQ(delegate->movementCanary()->presentedItemURL(), recorder.bundleURL);
  }
}

TEST(AppDelegate, RefusesEveryOtherPlaceAtOnce) {
  const std::vector<std::optional<NSURL>> refused{
      std::nullopt,
      NSURL::fileURLWithPath("/Users/u/Applications/X.app"),
      NSURL::fileURLWithPath("/applications/X.app"),
      NSURL::fileURLWithPath("/Volumes/Image/Applications/X.app"),
      NSURL::fileURLWithPath("/Application"),
      NSURL::fileURLWithPath("Applications/X.app"),
  };
  for (const auto& url : refused) {
    Recorder recorder;
    recorder.bundleURL = url;
    auto delegate = std::make_shared<AppDelegate>(recorder.services());
    delegate->applicationDidFinishLaunching(kLaunched);
    const std::string where = url ? url->path() : "no bundle";
    EXPECT_EQ(recorder.terminations, 1) << where;
    EXPECT_EQ(recorder.starts, 0) << where;
    EXPECT_TRUE(recorder.presenters.empty()) << where;
    EXPECT_EQ(delegate->movementCanary(), nullptr) << where;

    // Termination still stops the server, which was never started.
    delegate->applicationWillTerminate(kTerminating);
    EXPECT_EQ(recorder.stops, 1) << where;
  }
}

TEST(AppDelegate, TheCanaryTerminatesOnlyWhileTheDelegateExists) {
  Recorder recorder;
  recorder.bundleURL = NSURL::fileURLWithPath("/Applications/Tessaly Browser Helper.app");
  auto delegate = std::make_shared<AppDelegate>(recorder.services());
  delegate->applicationDidFinishLaunching(kLaunched);
  ASSERT_EQ(recorder.presenters.size(), 1u);
  auto& canary = dynamic_cast<MovementCanary&>(*recorder.presenters[0]);

  canary.presentedItemDidChange();
  EXPECT_EQ(recorder.terminations, 1);
  canary.presentedItemDidMoveToURL(NSURL::fileURLWithPath("/tmp/Tessaly Browser Helper.app"));
  EXPECT_EQ(recorder.terminations, 2);
  EXPECT_EQ(recorder.stops, 0);  // stopping is termination's business

  // The canary holds the delegate weakly: once the delegate is gone the handler does nothing.
  delegate.reset();
  canary.presentedItemDidChange();
  EXPECT_EQ(recorder.terminations, 2);
}

TEST(AppDelegate, TerminationStopsTheServer) {
  Recorder recorder;
  recorder.bundleURL = NSURL::fileURLWithPath("/Applications/Tessaly Browser Helper.app");
  auto delegate = std::make_shared<AppDelegate>(recorder.services());
  delegate->applicationDidFinishLaunching(kLaunched);
  delegate->applicationWillTerminate(kTerminating);
  EXPECT_EQ(recorder.starts, 1);
  EXPECT_EQ(recorder.stops, 1);
}

}  // namespace
}  // namespace tessaly::app
