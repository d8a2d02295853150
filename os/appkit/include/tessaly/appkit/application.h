// The application object: launching, the main run loop, and termination (also on SIGTERM and SIGINT).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace tessaly::appkit {

// Windows are not offered here: the type exists so that a delegate can keep the reference an interface file
// would connect.
class NSWindow;

struct NSNotification {
  std::string name;
};

inline constexpr const char* NSApplicationDidFinishLaunchingNotification =
    "NSApplicationDidFinishLaunchingNotification";
inline constexpr const char* NSApplicationWillTerminateNotification = "NSApplicationWillTerminateNotification";

// What the application tells its delegate. Both calls come on the main thread.
class NSApplicationDelegate {
 public:
  virtual ~NSApplicationDelegate() = default;
  virtual void applicationDidFinishLaunching(const NSNotification& notification) { (void)notification; }
  virtual void applicationWillTerminate(const NSNotification& notification) { (void)notification; }
};

class NSApplication {
 public:
  // The one application object of the process, created on first use and never destroyed.
  static NSApplication& sharedApplication();

  // The delegate is not retained; its owner keeps it alive (NSApplicationMain does for the one it makes).
  void setDelegate(std::weak_ptr<NSApplicationDelegate> delegate);
  std::shared_ptr<NSApplicationDelegate> delegate() const;

  // Main thread only. Treats SIGTERM and SIGINT as termination requests from then on, tells the delegate
  // that launching has finished, and runs the main run loop. Returns only if the run loop is stopped.
  void run();

  // Asks the application to terminate: on the main thread, the delegate's applicationWillTerminate: runs
  // and the process exits with status 0. Called on another thread, the request is queued to the main thread
  // and the call returns. Requests made while termination is under way are ignored. `sender` is not used.
  void terminate(const void* sender);
  // The same, for a process that cannot go on: it exits with `exitStatus`, so that whoever started it (a
  // service manager, a shell) sees the failure.
  void terminate(const void* sender, int exitStatus);

  NSApplication(const NSApplication&) = delete;
  NSApplication& operator=(const NSApplication&) = delete;

 private:
  NSApplication() = default;
  void terminateOnMainThread(int exitStatus);
  void watchTerminationSignals();

  mutable std::mutex mutex_;
  std::weak_ptr<NSApplicationDelegate> delegate_;
  bool terminating_ = false;  // main thread only
  int signalFd_ = -1;
};

// The global application object, NSApp.
inline NSApplication& NSApp() { return NSApplication::sharedApplication(); }

// Runs an application: blocks SIGTERM and SIGINT for every thread started afterwards (so that they are
// handled by the main run loop and never by the default action), makes the delegate with `makeDelegate`,
// keeps it for the life of the process and runs the shared application. The process ends through
// terminate:; the return value, 1, is seen only when the run loop could not be run.
int NSApplicationMain(int argc, char** argv,
                      const std::function<std::shared_ptr<NSApplicationDelegate>()>& makeDelegate);

}  // namespace tessaly::appkit
