#include "tessaly/foundation/deadlines.h"

namespace tessaly::foundation {

void Deadlines::add(Clock::time_point due, std::function<void()> work) {
  if (!work) return;
  std::lock_guard<std::mutex> lock(mutex_);
  items_.push(Item{due, nextOrder_++, std::move(work)});
}

std::size_t Deadlines::runDue() {
  std::size_t ran = 0;
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (items_.empty() || items_.top().due > Clock::now()) return ran;
      work = std::move(const_cast<Item&>(items_.top()).work);
      items_.pop();
    }
    try {
      work();
    } catch (...) {
      // Work reports its own failures; one that throws must not hold up the others.
    }
    ++ran;
  }
}

std::optional<Deadlines::Clock::time_point> Deadlines::next() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (items_.empty()) return std::nullopt;
  return items_.top().due;
}

std::size_t Deadlines::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return items_.size();
}

}  // namespace tessaly::foundation
