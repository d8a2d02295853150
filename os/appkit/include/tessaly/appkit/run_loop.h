// The main run loop: runs the main queue's operations and file-descriptor sources on the main thread.
#pragma once

#include <chrono>
#include <functional>

namespace tessaly::appkit {

struct NSThread {
  // True on the process's initial thread, the one that runs the main run loop.
  static bool isMainThread() noexcept;
};

// The run loop of the main thread. Other threads hand it work through NSOperationQueue::mainQueue(); it runs
// that work, and the callbacks of its sources, one at a time on the main thread.
class NSRunLoop {
 public:
  using Clock = std::chrono::steady_clock;

  // Created on first use and never destroyed.
  static NSRunLoop& mainRunLoop();

  // Runs until stop() is called. Must be called on the main thread (throws std::logic_error otherwise).
  void run();
  // Runs until `limit` passes or stop() is called; returns true when stopped. Main thread only.
  bool runUntilDate(Clock::time_point limit);
  // Makes the current (or next) run return after the operation it is running. Any thread.
  void stop();

  // Calls `onReadable` on the main thread whenever `fd` is readable, until the source is removed. The
  // caller keeps ownership of `fd`. Any thread.
  void addReadSource(int fd, std::function<void()> onReadable);
  void removeReadSource(int fd);

  // Queues `operation` to run on the main thread after those queued before it. Any thread.
  void perform(std::function<void()> operation);

  NSRunLoop(const NSRunLoop&) = delete;
  NSRunLoop& operator=(const NSRunLoop&) = delete;

 private:
  NSRunLoop();
  struct State;
  State* state_;  // lives as long as the process
};

}  // namespace tessaly::appkit
