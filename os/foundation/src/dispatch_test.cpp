#include "tessaly/foundation/dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <vector>

namespace tessaly::foundation {
namespace {

using namespace std::chrono_literals;

TEST(DispatchQueue, RunsWorkByDueTimeThenBySubmission) {
  DispatchQueue queue;
  std::mutex mutex;
  std::vector<int> order;
  std::promise<void> done;
  auto record = [&](int n) {
    return [&, n] {
      std::lock_guard<std::mutex> lock(mutex);
      order.push_back(n);
    };
  };
  queue.asyncAfter(60ms, [&] { done.set_value(); });
  queue.asyncAfter(40ms, record(3));
  queue.async(record(1));
  queue.async(record(2));
  ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(DispatchQueue, DestroyingTheQueueDropsWorkNotYetDue) {
  std::atomic<bool> ran{false};
  const auto start = std::chrono::steady_clock::now();
  {
    DispatchQueue queue;
    queue.asyncAfter(1h, [&] { ran = true; });
  }
  EXPECT_FALSE(ran.load());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(DispatchQueue, WorkThatThrowsDoesNotStopTheQueue) {
  DispatchQueue queue;
  std::promise<void> after;
  queue.async([] { throw std::runtime_error("boom"); });
  queue.async([&] { after.set_value(); });
  EXPECT_EQ(after.get_future().wait_for(5s), std::future_status::ready);
}

}  // namespace
}  // namespace tessaly::foundation
