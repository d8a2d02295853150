#include "tessaly/appkit/run_loop.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tessaly/appkit/operation_queue.h"

namespace tessaly::appkit {
namespace {

using namespace std::chrono_literals;

TEST(NSRunLoop, RunsOperationsFromEveryThreadOnTheMainThreadInOrder) {
  ASSERT_TRUE(NSThread::isMainThread());
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  std::vector<std::vector<int>> seen(kThreads);
  std::atomic<int> offMain{0};
  int ran = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        NSOperationQueue::mainQueue()->addOperationWithBlock([&, t, i] {
          if (!NSThread::isMainThread()) ++offMain;
          seen[t].push_back(i);
          if (++ran == kThreads * kEach) NSRunLoop::mainRunLoop().stop();
        });
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(NSRunLoop::mainRunLoop().runUntilDate(NSRunLoop::Clock::now() + 10s));
  EXPECT_EQ(offMain.load(), 0);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<std::size_t>(kEach));
    for (int i = 0; i < kEach; ++i) ASSERT_EQ(seen[t][i], i) << "thread " << t;
  }
}

TEST(NSRunLoop, StopEndsTheRunAfterTheCurrentOperation) {
  std::vector<int> order;
  NSRunLoop& loop = NSRunLoop::mainRunLoop();
  loop.perform([&] {
    order.push_back(1);
    loop.stop();
  });
  loop.perform([&] {
    order.push_back(2);
    loop.stop();
  });
  ASSERT_TRUE(loop.runUntilDate(NSRunLoop::Clock::now() + 10s));
  EXPECT_EQ(order, std::vector<int>{1});
  // The operation left behind runs in the next run.
  ASSERT_TRUE(loop.runUntilDate(NSRunLoop::Clock::now() + 10s));
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  // Nothing to do: the run ends when its time is up.
  EXPECT_FALSE(loop.runUntilDate(NSRunLoop::Clock::now() + 20ms));
}

TEST(NSRunLoop, CallsReadSourcesUntilRemoved) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
  NSRunLoop& loop = NSRunLoop::mainRunLoop();
  std::string received;
  loop.addReadSource(fds[0], [&] {
    char buffer[16];
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
    if (received == "ab") loop.stop();
  });
  std::thread writer([&] {
    ASSERT_EQ(::write(fds[1], "a", 1), 1);
    std::this_thread::sleep_for(5ms);
    ASSERT_EQ(::write(fds[1], "b", 1), 1);
  });
  EXPECT_TRUE(loop.runUntilDate(NSRunLoop::Clock::now() + 10s));
  writer.join();
  EXPECT_EQ(received, "ab");

  loop.removeReadSource(fds[0]);
  ASSERT_EQ(::write(fds[1], "c", 1), 1);
  EXPECT_FALSE(loop.runUntilDate(NSRunLoop::Clock::now() + 20ms));
  EXPECT_EQ(received, "ab");
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace tessaly::appkit
