// A program the application-services tests start, copy into bundles and signal.
//   test_app info            prints what it knows of its own bundle, then waits to be killed
//   test_app app MODE        runs an application whose delegate reports on standard output; MODE:
//     wait      waits for a termination request (SIGTERM, SIGINT)
//     thread    a worker thread asks to terminate
//     reenter   like thread; applicationWillTerminate: asks to terminate once more
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "tessaly/appkit/application.h"
#include "tessaly/appkit/bundle.h"
#include "tessaly/appkit/run_loop.h"
#include "tessaly/appkit/running_application.h"

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
  if (mode == "app" && argc > 2) {
    const std::string appMode = argv[2];
    return NSApplicationMain(argc, argv, [appMode] { return std::make_shared<ReportingDelegate>(appMode); });
  }
  std::fprintf(stderr, "usage: test_app info | test_app app wait|thread|reenter\n");
  return 2;
}
