// Work that may be held up by another process (reading its /proc files), run on a helper thread with a deadline.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace tessaly::codesign::detail {

// Work handed to a helper thread, to be waited for until a deadline.
class DeadlineTicket {
 public:
  // Waits until the work is done or the deadline passes; true when it is done. After a false answer the work
  // finishes, or stays stuck, on its own thread.
  virtual bool wait() = 0;
  virtual ~DeadlineTicket() = default;
};

// Starts `work` on one of a few helper threads; it must finish within `budget` from now. On a busy machine, work
// that is runnable at the deadline (queued for a CPU or running) gets further budgets, up to
// kDeadlineStarvationLimit in all; work blocked in the kernel does not. Whatever it captures must keep itself
// alive (capture shared state, not the caller's locals). Nothing while every helper is busy or stuck.
std::unique_ptr<DeadlineTicket> startWithDeadline(std::function<void()> work, std::chrono::milliseconds budget);

// Runs `work` as above and waits for it; false when it was refused or did not finish in time.
bool runWithDeadline(std::function<void()> work, std::chrono::milliseconds budget);

// Helper threads that exist, and those among them that are running work whose caller gave up waiting.
struct DeadlineRunnerLoad {
  int threads = 0;
  int stuck = 0;
};
DeadlineRunnerLoad deadlineRunnerLoad();

inline constexpr int kMaxDeadlineThreads = 8;
// The most budgets runnable work is given: a deadline of 40 ms never stretches past one second.
inline constexpr int kDeadlineStarvationLimit = 25;

}  // namespace tessaly::codesign::detail
