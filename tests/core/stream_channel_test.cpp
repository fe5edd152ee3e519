// The item channel between the stream driver and its receiver, without a
// driver: requests taken back by a receiver whose awaiter gave up.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "events/stream.h"

namespace quellar {
namespace {

StreamItem chunk(const char* data) {
  StreamItem item;
  item.kind = StreamItem::Kind::Stdout;
  item.data = data;
  return item;
}

void send(StreamChannel& channel, const char* data) {
  StreamItem item = chunk(data);
  ASSERT_TRUE(channel.try_send(item));
}

// Records what each receive request was given, by request number.
struct Log {
  std::vector<std::optional<Received>> given;

  UniqueFunction<void(Received)> request(std::size_t number) {
    if (given.size() <= number) given.resize(number + 1);
    return [this, number](Received received) { given[number] = std::move(received); };
  }
};

TEST(StreamChannel, NothingToWithdrawWithoutAWaitingRequest) {
  StreamChannel channel{CancellationToken()};
  EXPECT_FALSE(channel.withdraw_receive());
  send(channel, "a");
  Log log;
  ASSERT_TRUE(channel.receive(log.request(0)));  // served at once: nothing waits
  EXPECT_FALSE(channel.withdraw_receive());
}

TEST(StreamChannel, AWithdrawnRequestTakesNothingAndTheNextOneGetsTheItem) {
  StreamChannel channel{CancellationToken()};
  Log log;
  ASSERT_FALSE(channel.receive(log.request(0)));
  ASSERT_FALSE(channel.receive(log.request(1)));
  // The most recent one goes; the earlier one keeps its place.
  EXPECT_TRUE(channel.withdraw_receive());
  send(channel, "a");
  send(channel, "b");
  ASSERT_TRUE(log.given[0] && *log.given[0]);
  EXPECT_EQ((*log.given[0])->data, "a");
  EXPECT_FALSE(log.given[1]);
  auto next = channel.receive(log.request(2));
  ASSERT_TRUE(next && *next);
  EXPECT_EQ((*next)->data, "b");
  EXPECT_EQ(channel.queued(), 0u);
}

TEST(StreamChannel, AWaitingCollectIsNeverWithdrawn) {
  StreamChannel channel{CancellationToken()};
  Log log;
  ASSERT_FALSE(channel.receive(log.request(0)));
  std::optional<Collected> collected;
  ASSERT_FALSE(channel.collect_result([&collected](Collected c) { collected = std::move(c); }));
  EXPECT_TRUE(channel.withdraw_receive());   // the receive, behind which the collect waited
  EXPECT_FALSE(channel.withdraw_receive());  // only the collect is left
  channel.close();
  ASSERT_TRUE(collected);
  EXPECT_TRUE(std::holds_alternative<NoResult>(*collected));
  EXPECT_FALSE(log.given[0]);
}

TEST(StreamChannel, AReleasedReceiverIsGoneOnceItsLastRequestIsWithdrawn) {
  Log log;
  // Without withdrawing, a waiting request keeps the receiver until served.
  StreamChannel served{CancellationToken()};
  ASSERT_FALSE(served.receive(log.request(0)));
  served.release_receiver();
  EXPECT_FALSE(served.receiver_gone().is_cancelled());
  send(served, "fills the request");
  EXPECT_TRUE(served.receiver_gone().is_cancelled());
  ASSERT_TRUE(log.given[0] && *log.given[0]);

  // Withdrawn, it is gone at once and nothing more is accepted.
  StreamChannel withdrawn{CancellationToken()};
  ASSERT_FALSE(withdrawn.receive(log.request(1)));
  withdrawn.release_receiver();
  EXPECT_FALSE(withdrawn.receiver_gone().is_cancelled());
  EXPECT_TRUE(withdrawn.withdraw_receive());
  EXPECT_TRUE(withdrawn.receiver_gone().is_cancelled());
  StreamItem refused = chunk("nobody takes it");
  EXPECT_FALSE(withdrawn.try_send(refused));
  EXPECT_FALSE(log.given[1]);
}

TEST(StreamChannel, AWaitingSenderIsWokenOnceHalfTheQueueIsFree) {
  StreamChannel channel{CancellationToken()};
  for (std::size_t i = 0; i < StreamChannel::kCapacity; ++i) send(channel, "x");
  StreamItem refused = chunk("one too many");
  ASSERT_FALSE(channel.try_send(refused));
  int woken = 0;
  channel.on_room([&woken] { ++woken; });
  Log log;
  for (std::size_t i = 0; i < StreamChannel::kCapacity / 2; ++i) {
    EXPECT_EQ(woken, 0) << "woken with " << channel.queued() << " items queued";
    ASSERT_TRUE(channel.receive(log.request(i)));
  }
  EXPECT_EQ(woken, 1);
  EXPECT_EQ(channel.queued(), StreamChannel::kCapacity / 2);
}

}  // namespace
}  // namespace quellar
