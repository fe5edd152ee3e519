// The queue a stream's consumer reads, without a stream: claims and their
// items, claims given up or taken back, the final result, the consumer
// going away, and the room its producers wait for.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include "events/stream_queue.h"

namespace quellar {
namespace {

StreamItem chunk(const char* data) {
  StreamItem item;
  item.kind = StreamItem::Kind::Stdout;
  item.data = data;
  return item;
}

StreamItem exited() {
  StreamItem item;
  item.kind = StreamItem::Kind::Exited;
  item.result = std::make_unique<StreamResult>();
  return item;
}

Bytes taken(StreamQueue& queue, StreamQueue::Claim claim) {
  auto got = queue.take(claim);
  if (!got) return "<not ready>";
  if (!*got) return "<end>";
  return (*got)->data;
}

TEST(StreamQueue, TheNthClaimGetsTheNthItemWhateverOrderTheyAreTakenIn) {
  StreamQueue queue{CancellationToken()};
  auto first = queue.claim();
  auto second = queue.claim();
  EXPECT_FALSE(queue.ready(first));
  queue.push(chunk("a"));
  EXPECT_TRUE(queue.ready(first));
  EXPECT_FALSE(queue.ready(second));
  queue.push(chunk("b"));
  EXPECT_EQ(taken(queue, second), "b");
  EXPECT_EQ(taken(queue, first), "a");
  EXPECT_EQ(queue.queued(), 0u);
}

TEST(StreamQueue, AClaimGivenUpLeavesItsItemToTheNext) {
  StreamQueue queue{CancellationToken()};
  auto given_up = queue.claim();
  auto next = queue.claim();
  queue.push(chunk("a"));
  queue.withdraw(given_up);
  EXPECT_EQ(taken(queue, next), "a");
}

TEST(StreamQueue, AnItemGivenBackGoesToItsPlace) {
  StreamQueue queue{CancellationToken()};
  queue.push(chunk("a"));
  queue.push(chunk("b"));
  auto first = queue.claim();
  auto second = queue.claim();
  // Taken for the first claim, whose awaiter is then cancelled.
  const std::size_t place = queue.place_of(first);
  auto item = queue.take(first);
  ASSERT_TRUE(item && *item);
  queue.give_back(place, std::move(**item));
  EXPECT_EQ(taken(queue, second), "a");
  EXPECT_EQ(taken(queue, queue.claim()), "b");
}

TEST(StreamQueue, AResultClaimDiscardsWhatFollowsItsPlaceUntilTheFinalItem) {
  StreamQueue queue{CancellationToken()};
  auto event = queue.claim();
  auto result = queue.claim_result();
  queue.push(chunk("for the event"));
  queue.push(chunk("discarded"));
  EXPECT_FALSE(queue.ready(result));
  EXPECT_FALSE(queue.take_result(result));
  queue.finish(exited());
  ASSERT_TRUE(queue.ready(result));
  EXPECT_TRUE(std::holds_alternative<StreamResult>(*queue.take_result(result)));
  EXPECT_EQ(taken(queue, event), "for the event");
  // After the end, a claim gets the end, and the result stays the same.
  EXPECT_EQ(taken(queue, queue.claim()), "<end>");
}

TEST(StreamQueue, TheConsumerIsGoneOnceReleasedWithNoClaimWaiting) {
  // A waiting claim keeps the consumer until it is taken...
  StreamQueue served{CancellationToken()};
  auto claim = served.claim();
  served.release_consumer();
  EXPECT_FALSE(served.consumer_gone().is_cancelled());
  served.push(chunk("fills the claim"));
  EXPECT_EQ(taken(served, claim), "fills the claim");
  EXPECT_TRUE(served.consumer_gone().is_cancelled());

  // ...or given up; from then on nothing is accepted.
  StreamQueue given_up{CancellationToken()};
  auto waiting = given_up.claim();
  given_up.release_consumer();
  given_up.withdraw(waiting);
  EXPECT_TRUE(given_up.consumer_gone().is_cancelled());
  StreamItem refused = chunk("nobody takes it");
  given_up.push(std::move(refused));
  EXPECT_EQ(given_up.queued(), 0u);
}

TEST(StreamQueue, TheConsumerIsWokenOnceWhenAWaitingClaimBecomesReady) {
  StreamQueue queue{CancellationToken()};
  int woken = 0;
  auto claim = queue.claim();
  EXPECT_FALSE(queue.on_ready([&woken] { ++woken; }));
  queue.push(chunk("a"));
  queue.push(chunk("b"));
  EXPECT_EQ(woken, 1);
  // A claim ready already is said so at once, nothing is kept.
  EXPECT_TRUE(queue.on_ready([&woken] { ++woken; }));
  EXPECT_EQ(taken(queue, claim), "a");
}

TEST(StreamQueue, ProducersWaitForRoomAndAreWokenOnceHalfOfItIsFree) {
  asio::io_context io;
  StreamQueue queue{CancellationToken()};
  // Reserved slots count against the room, as queued items do.
  EXPECT_EQ(queue.reserve(4), 4u);
  for (std::size_t i = 0; i < 4; ++i) queue.push_reserved(chunk("r"));
  for (std::size_t i = 4; i < StreamQueue::kCapacity; ++i) {
    StreamItem item = chunk("x");
    ASSERT_TRUE(queue.try_push(item));
  }
  StreamItem refused = chunk("one too many");
  EXPECT_FALSE(queue.try_push(refused));
  EXPECT_EQ(queue.reserve(1), 0u);
  int woken = 0;
  queue.when_room(io.get_executor(), [&woken] { ++woken; });
  for (std::size_t i = 0; i < StreamQueue::kCapacity / 2; ++i) {
    io.poll();
    io.restart();
    EXPECT_EQ(woken, 0) << "woken with " << queue.queued() << " items queued";
    ASSERT_NE(taken(queue, queue.claim()), "<not ready>");
  }
  io.poll();
  EXPECT_EQ(woken, 1);
  EXPECT_EQ(queue.queued(), StreamQueue::kCapacity / 2);
}

}  // namespace
}  // namespace quellar
