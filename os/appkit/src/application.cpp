#include "tessaly/appkit/application.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "tessaly/appkit/run_loop.h"

namespace tessaly::appkit {
namespace {

sigset_t terminationSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  return signals;
}

void blockTerminationSignals() {
  const sigset_t signals = terminationSignals();
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

}  // namespace

NSApplication& NSApplication::sharedApplication() {
  static NSApplication* const application = new NSApplication();
  return *application;
}

void NSApplication::setDelegate(std::weak_ptr<NSApplicationDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<NSApplicationDelegate> NSApplication::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void NSApplication::run() {
  if (!NSThread::isMainThread()) throw std::logic_error("NSApplication runs on the main thread");
  watchTerminationSignals();
  NSRunLoop& runLoop = NSRunLoop::mainRunLoop();
  runLoop.perform([this] {
    if (std::shared_ptr<NSApplicationDelegate> current = delegate()) {
      current->applicationDidFinishLaunching(NSNotification{NSApplicationDidFinishLaunchingNotification});
    }
  });
  runLoop.run();
}

// The signals are blocked and read from a signalfd by the run loop, so a termination request is handled on the
// main thread like any other event, never inside a signal handler.
void NSApplication::watchTerminationSignals() {
  if (signalFd_ >= 0) return;
  blockTerminationSignals();
  const sigset_t signals = terminationSignals();
  signalFd_ = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signalFd_ < 0) throw std::system_error(errno, std::generic_category(), "signalfd");
  NSRunLoop::mainRunLoop().addReadSource(signalFd_, [this] {
    signalfd_siginfo info{};
    bool requested = false;
    while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) requested = true;
    if (requested) terminate(nullptr);
  });
}

void NSApplication::terminate(const void* sender) { terminate(sender, EXIT_SUCCESS); }

void NSApplication::terminate(const void* sender, int exitStatus) {
  (void)sender;
  if (NSThread::isMainThread()) {
    terminateOnMainThread(exitStatus);
  } else {
    NSRunLoop::mainRunLoop().perform([this, exitStatus] { terminateOnMainThread(exitStatus); });
  }
}

void NSApplication::terminateOnMainThread(int exitStatus) {
  if (terminating_) return;
  terminating_ = true;
  if (std::shared_ptr<NSApplicationDelegate> current = delegate()) {
    current->applicationWillTerminate(NSNotification{NSApplicationWillTerminateNotification});
  }
  std::fflush(nullptr);
  std::exit(exitStatus);
}

int NSApplicationMain(int argc, char** argv,
                      const std::function<std::shared_ptr<NSApplicationDelegate>()>& makeDelegate) {
  (void)argc;
  (void)argv;
  // Before anything else can start a thread: threads inherit the mask, so the termination signals reach only
  // the signalfd that the run loop reads.
  blockTerminationSignals();
  // The delegate lives as long as the process, like the objects of an application's main interface file.
  // It is never destroyed, so exit() does not tear it down while other threads may still use it.
  auto* const delegate = new std::shared_ptr<NSApplicationDelegate>(makeDelegate ? makeDelegate() : nullptr);
  NSApplication& application = NSApplication::sharedApplication();
  application.setDelegate(*delegate);
  try {
    application.run();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "NSApplicationMain: %s\n", error.what());
    return 1;
  }
  return 1;
}

}  // namespace tessaly::appkit
