// Dispatch queues: serial queues that run submitted work in order, now or after a delay.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace tessaly::foundation {

// A serial queue served by one thread of its own, started with the queue. Work runs one item at a time, in
// order of due time (submission order among items due at the same time). Destroying the queue drops work
// that is not yet due, waits for the running item and stops the thread.
class DispatchQueue {
 public:
  using Clock = std::chrono::steady_clock;

  DispatchQueue();
  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  // The process-wide queue that stands in for the platform's main queue; created on first use.
  static DispatchQueue& main();

  void async(std::function<void()> work);
  void asyncAfter(Clock::duration delay, std::function<void()> work);

 private:
  struct Item {
    Clock::time_point due;
    std::uint64_t order;
    std::function<void()> work;
  };
  struct Later {
    bool operator()(const Item& a, const Item& b) const {
      return a.due != b.due ? a.due > b.due : a.order > b.order;
    }
  };

  void serve();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::priority_queue<Item, std::vector<Item>, Later> items_;
  std::uint64_t nextOrder_ = 0;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace tessaly::foundation
