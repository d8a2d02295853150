#include "serial_queue.h"

namespace tessaly::broker {

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void SerialQueue::async(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    work_.push_back(std::move(work));
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  }
  wake_.notify_one();
}

void SerialQueue::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !work_.empty(); });
    if (work_.empty()) return;  // stopping, and nothing left
    std::function<void()> next = std::move(work_.front());
    work_.pop_front();
    lock.unlock();
    try {
      next();
    } catch (...) {
      // A failed item does not stop the ones after it.
    }
    lock.lock();
  }
}

}  // namespace tessaly::broker
