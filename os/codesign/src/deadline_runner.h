// Work that may be held up by another process (reading its /proc files), run on a helper thread with a deadline.
#pragma once

#include <chrono>
#include <functional>

namespace tessaly::codesign::detail {

// Runs `work` on one of a few helper threads and waits at most `budget` for it. False when it did not finish in
// time: it then finishes, or stays stuck, on its own thread, and whatever it captured must keep itself alive
// (capture shared state, not the caller's locals). While every helper is stuck, new work is refused at once.
bool runWithDeadline(std::function<void()> work, std::chrono::milliseconds budget);

// Helper threads that exist, and those among them that are running work whose caller gave up waiting.
struct DeadlineRunnerLoad {
  int threads = 0;
  int stuck = 0;
};
DeadlineRunnerLoad deadlineRunnerLoad();

inline constexpr int kMaxDeadlineThreads = 8;

}  // namespace tessaly::codesign::detail
