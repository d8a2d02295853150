// A serial queue: work handed to it runs on a thread of its own, one item at a time, in order.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace tessaly::broker {

class SerialQueue {
 public:
  SerialQueue() = default;
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;
  // Runs what is still queued, then joins the thread.
  ~SerialQueue();

  // Queues `work` and returns at once. The thread starts with the first item.
  void async(std::function<void()> work);

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> work_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace tessaly::broker
