// Work due at a set time, run by whichever caller next asks for it: deadlines kept without a thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <queue>
#include <vector>

namespace tessaly::foundation {

// What the platform's main queue does for delayed work, for a library that may start no thread: items wait
// for their due time, and a caller that is in the library anyway (about to wait, or starting new work) runs
// those that are due. Thread-safe; work runs on the calling thread, outside the lock, so it may add items.
class Deadlines {
 public:
  using Clock = std::chrono::steady_clock;

  void add(Clock::time_point due, std::function<void()> work);

  // Runs every item due by now, earliest first (in order of adding among equal times); returns how many ran.
  // An item that throws is dropped.
  std::size_t runDue();

  // The due time of the earliest item; nothing when none waits.
  std::optional<Clock::time_point> next() const;
  std::size_t pending() const;

 private:
  struct Item {
    Clock::time_point due;
    std::uint64_t order;
    std::function<void()> work;
  };
  struct Later {
    bool operator()(const Item& a, const Item& b) const { return a.due != b.due ? a.due > b.due : a.order > b.order; }
  };

  mutable std::mutex mutex_;
  std::priority_queue<Item, std::vector<Item>, Later> items_;
  std::uint64_t nextOrder_ = 0;
};

}  // namespace tessaly::foundation
