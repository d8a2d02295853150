#include "app_delegate.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

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
  bool presenterRegisters = true;
  bool serverPublishes = true;
  std::vector<std::string> failures;

  AppDelegate::Services services() {
    AppDelegate::Services s;
    s.currentBundleURL = [this] { return bundleURL; };
    s.terminate = [this] { ++terminations; };
    s.fail = [this](const std::string& reason) { failures.push_back(reason); };
    s.addFilePresenter = [this](std::shared_ptr<appkit::NSFilePresenter> p) {
      if (!presenterRegisters) {
        errno = ENOSPC;
        return false;
      }
      presenters.push_back(std::move(p));
      return true;
    };
    s.startServer = [this] {
      ++starts;
      return serverPublishes;
    };
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

// An agent that cannot watch its bundle, or whose service cannot be published, ends with a failure and a reason
// instead of running unwatched or unreachable.
TEST(AppDelegate, EndsWithAFailureWhenItCannotWatchItsBundleOrPublishItsService) {
  struct Case {
    const char* name;
    bool presenterRegisters;
    bool serverPublishes;
    int starts;
    const char* reason;
  };
  for (const Case& c : {Case{"watch limit", false, true, 0,
                             "cannot watch the application bundle /Applications/Tessaly Browser Helper.app "
                             "(No space left on device)"},
                        Case{"not published", true, false, 1, "could not be published"}}) {
    Recorder recorder;
    recorder.bundleURL = NSURL::fileURLWithPath("/Applications/Tessaly Browser Helper.app");
    recorder.presenterRegisters = c.presenterRegisters;
    recorder.serverPublishes = c.serverPublishes;
    auto delegate = std::make_shared<AppDelegate>(recorder.services());
    delegate->applicationDidFinishLaunching(kLaunched);
    EXPECT_EQ(recorder.starts, c.starts) << c.name;
    ASSERT_EQ(recorder.failures.size(), 1u) << c.name;
    EXPECT_NE(recorder.failures[0].find(c.reason), std::string::npos) << recorder.failures[0];
    EXPECT_EQ(recorder.terminations, 0) << c.name << ": a failure, not an ordinary termination";
  }
}

}  // namespace
}  // namespace tessaly::app
