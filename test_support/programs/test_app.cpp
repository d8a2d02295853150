// A program the application-services tests start, copy into bundles and signal.
//   test_app info            prints what it knows of its own bundle, then waits to be killed
//   test_app app MODE        runs an application whose delegate reports on standard output; MODE:
//     wait      waits for a termination request (SIGTERM, SIGINT)
//     thread    a worker thread asks to terminate
//     reenter   like thread; applicationWillTerminate: asks to terminate once more
//   test_app open URL N      opens URL N times through the shared workspace, prints "opened", then asks the
//                            application to terminate (the process ends as an agent does)
//   test_app present LIMIT PATH   in a user namespace of its own whose inotify watch limit is LIMIT (0: as it
//                            is), registers a presenter for PATH; prints "registered", "refused: REASON" or
//                            "skip: REASON" when it cannot make such a namespace
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "tessaly/appkit/application.h"
#include "tessaly/appkit/bundle.h"
#include "tessaly/appkit/file_coordinator.h"
#include "tessaly/appkit/run_loop.h"
#include "tessaly/appkit/running_application.h"
#include "tessaly/appkit/workspace.h"

namespace {

using namespace tessaly::appkit;

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

int printInfo() {
  std::shared_ptr<NSBundle> bundle = NSBundle::mainBundle();
  std::shared_ptr<NSRunningApplication> current = NSRunningApplication::currentApplication();
  say("mainBundle=" + (bundle ? bundle->bundlePath() : std::string("-")));
  say("identifier=" + (bundle ? bundle->bundleIdentifier().value_or("-") : std::string("-")));
  say("bundleURL=" + (current && current->bundleURL() ? current->bundleURL()->absoluteString() : std::string("-")));
  say("ready");
  for (;;) ::pause();
}

bool writeText(const char* path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  out.flush();
  return static_cast<bool>(out);
}

class QuietPresenter final : public NSFilePresenter {
 public:
  explicit QuietPresenter(std::string path) : path_(std::move(path)) {}
  std::optional<NSURL> presentedItemURL() const override { return NSURL::fileURLWithPath(path_); }
  NSOperationQueue* presentedItemOperationQueue() const override { return nullptr; }

 private:
  std::string path_;
};

int presentWithWatchLimit(const std::string& limit, const std::string& path) {
  if (limit != "0") {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER) != 0) {
      say(std::string("skip: no user namespace: ") + std::strerror(errno));
      return 0;
    }
    if (!writeText("/proc/self/setgroups", "deny") ||
        !writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !writeText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1") ||
        !writeText("/proc/sys/user/max_inotify_watches", limit)) {
      say("skip: cannot set the watch limit of a user namespace");
      return 0;
    }
  }
  if (NSFileCoordinator::addFilePresenter(std::make_shared<QuietPresenter>(path))) {
    say("registered");
  } else {
    say(std::string("refused: ") + std::strerror(errno));
  }
  return 0;
}

class ReportingDelegate final : public NSApplicationDelegate {
 public:
  explicit ReportingDelegate(std::string mode) : mode_(std::move(mode)) {}

  void applicationDidFinishLaunching(const NSNotification& notification) override {
    // A thread started after launch must not take the termination signals away from the run loop.
    std::thread([] {
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }).detach();
    say("launched " + notification.name + " main=" + std::to_string(NSThread::isMainThread()));
    if (mode_ == "thread" || mode_ == "reenter") {
      std::thread([] { NSApp().terminate(nullptr); }).detach();
    }
  }

  void applicationWillTerminate(const NSNotification& notification) override {
    say("willTerminate " + notification.name + " main=" + std::to_string(NSThread::isMainThread()));
    if (mode_ == "reenter") NSApp().terminate(nullptr);
  }

 private:
  std::string mode_;
};

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "info") return printInfo();
  if (mode == "present" && argc > 3) return presentWithWatchLimit(argv[2], argv[3]);
  if (mode == "open" && argc > 3) {
    for (int i = std::stoi(argv[3]); i > 0; --i) NSWorkspace::sharedWorkspace().openURL(argv[2]);
    say("opened");
    NSApp().terminate(nullptr);
  }
  if (mode == "app" && argc > 2) {
    const std::string appMode = argv[2];
    return NSApplicationMain(argc, argv, [appMode] { return std::make_shared<ReportingDelegate>(appMode); });
  }
  std::fprintf(
      stderr,
      "usage: test_app info | test_app app wait|thread|reenter | test_app open URL N | test_app present LIMIT PATH\n");
  return 2;
}
