#include "tessaly/foundation/deadlines.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace tessaly::foundation {
namespace {

using namespace std::chrono_literals;
using Clock = Deadlines::Clock;

TEST(Deadlines, RunsOnlyWhatIsDueInDueOrderAndOnTheCallersThread) {
  Deadlines deadlines;
  std::vector<int> order;
  const auto now = Clock::now();
  deadlines.add(now + 1h, [&] { order.push_back(9); });
  deadlines.add(now - 1ms, [&] { order.push_back(2); });
  deadlines.add(now - 5ms, [&] { order.push_back(1); });
  deadlines.add(now - 1ms, [&] { throw std::runtime_error("dropped"); });
  deadlines.add(now - 1ms, [&] {
    order.push_back(3);
    deadlines.add(Clock::now() - 1ms, [&] { order.push_back(4); });  // work may add work
  });
  EXPECT_EQ(deadlines.runDue(), 5u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(deadlines.pending(), 1u);
  EXPECT_EQ(deadlines.next(), now + 1h);
  EXPECT_EQ(deadlines.runDue(), 0u) << "nothing else is due";
}

}  // namespace
}  // namespace tessaly::foundation
