#include "tessaly/foundation/dispatch.h"

namespace tessaly::foundation {

DispatchQueue::DispatchQueue() : worker_([this] { serve(); }) {}

DispatchQueue::~DispatchQueue() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

DispatchQueue& DispatchQueue::main() {
  static DispatchQueue queue;
  return queue;
}

void DispatchQueue::async(std::function<void()> work) { asyncAfter(Clock::duration::zero(), std::move(work)); }

void DispatchQueue::asyncAfter(Clock::duration delay, std::function<void()> work) {
  if (!work) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    items_.push(Item{Clock::now() + delay, nextOrder_++, std::move(work)});
  }
  wake_.notify_all();
}

void DispatchQueue::serve() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (items_.empty()) {
      wake_.wait(lock);
      continue;
    }
    const Clock::time_point due = items_.top().due;
    if (Clock::now() < due) {
      wake_.wait_until(lock, due);
      continue;
    }
    std::function<void()> work = std::move(const_cast<Item&>(items_.top()).work);
    items_.pop();
    lock.unlock();
    try {
      work();
    } catch (...) {
      // Work items report their own failures; one that throws must not stop the queue.
    }
    lock.lock();
  }
}

}  // namespace tessaly::foundation
