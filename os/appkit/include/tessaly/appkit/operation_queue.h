// Operation queues: the main queue, on which work posted from any thread runs on the main thread.
#pragma once

#include <functional>

namespace tessaly::appkit {

class NSOperationQueue {
 public:
  // The queue served by the main run loop; operations run on the main thread in the order they were added.
  static NSOperationQueue* mainQueue();

  // Any thread.
  void addOperationWithBlock(std::function<void()> block);

  NSOperationQueue(const NSOperationQueue&) = delete;
  NSOperationQueue& operator=(const NSOperationQueue&) = delete;

 private:
  NSOperationQueue() = default;
};

}  // namespace tessaly::appkit
