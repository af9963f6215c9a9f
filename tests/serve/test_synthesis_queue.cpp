// The server's queue: bounded, in arrival order, and a ticket dropped while
// waiting (its client left) does not hold up the ones behind it.
#include "serve/synthesis_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <vector>

namespace {

using std::chrono::seconds;

TEST(SynthesisQueue, RefusesBeyondTheWaitingPlacesAndReopensWhenOneLeaves) {
  SynthesisQueue queue(2);
  auto running = queue.try_enter();
  auto first = queue.try_enter();
  auto second = queue.try_enter();
  ASSERT_TRUE(running && first && second);
  EXPECT_EQ(queue.waiting(), 2);
  EXPECT_EQ(queue.try_enter(), nullptr);
  first.reset();
  EXPECT_EQ(queue.waiting(), 1);
  EXPECT_NE(queue.try_enter(), nullptr);  // and drops it again at once
  EXPECT_EQ(queue.holders(), 2);
}

TEST(SynthesisQueue, NoWaitingPlacesStillRunsOne) {
  SynthesisQueue queue(0);
  auto running = queue.try_enter();
  ASSERT_NE(running, nullptr);
  EXPECT_EQ(queue.try_enter(), nullptr);
}

TEST(SynthesisQueue, TurnsFollowArrivalAndSkipDroppedTickets) {
  SynthesisQueue queue(3);
  auto running = queue.try_enter();
  auto leaves = queue.try_enter();
  auto next = queue.try_enter();
  auto last = queue.try_enter();
  running->wait_turn();  // the first ticket's turn is immediate

  auto last_turn = std::async(std::launch::async, [&] { last->wait_turn(); });
  auto next_turn = std::async(std::launch::async, [&] { next->wait_turn(); });
  EXPECT_EQ(next_turn.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);

  leaves.reset();   // a client that left while waiting
  running.reset();  // the synthesis in progress ends
  ASSERT_EQ(next_turn.wait_for(seconds(10)), std::future_status::ready);
  EXPECT_EQ(last_turn.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  next.reset();
  ASSERT_EQ(last_turn.wait_for(seconds(10)), std::future_status::ready);
  EXPECT_EQ(queue.waiting(), 0);
}

// With parallel places, that many requests run at once; the rest wait their
// turn in arrival order, and the waiting bound counts only those behind.
TEST(SynthesisQueue, ParallelPlacesRunTogether) {
  SynthesisQueue queue(1, 2);
  auto first = queue.try_enter();
  auto second = queue.try_enter();
  auto third = queue.try_enter();
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(queue.try_enter(), nullptr);  // two running, one waiting: full
  EXPECT_EQ(queue.waiting(), 1);
  first->wait_turn();
  second->wait_turn();  // both at once
  auto third_turn = std::async(std::launch::async, [&] { third->wait_turn(); });
  EXPECT_EQ(third_turn.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  second.reset();
  ASSERT_EQ(third_turn.wait_for(seconds(10)), std::future_status::ready);
  EXPECT_EQ(queue.waiting(), 0);
}

}  // namespace
