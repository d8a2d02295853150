#include "movement_canary.h"

#include <gtest/gtest.h>


namespace tessaly::app {
namespace {

using appkit::NSURL;

TEST(MovementCanary, CallsItsHandlerForMovesAndChangesOnly) {
  int calls = 0;
  const NSURL target = NSURL::fileURLWithPath("/Applications/Tessaly Browser Helper.app");
  MovementCanary canary(target, [&] { ++calls; });
  EXPECT_EQ(canary.presentedItemURL(), target);
  EXPECT_EQ(canary.presentedItemOperationQueue(), appkit::NSOperationQueue::mainQueue());

  canary.presentedItemDidMoveToURL(NSURL::fileURLWithPath("/elsewhere.app"));
  canary.presentedItemDidChange();
  EXPECT_EQ(calls, 2);
  // Deletion keeps the coordinator's default: it completes and does not call the handler.
  bool completed = false;
  canary.accommodatePresentedItemDeletionWithCompletionHandler([&](const auto&) { completed = true; });
  EXPECT_TRUE(completed);
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace tessaly::app
