#include <gtest/gtest.h>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/io_context.hpp>

#include "supervisor/local_channel.h"

using namespace quellar;

namespace {

std::string outcome(std::error_code ec) {
  if (!ec) return "";
  if (ec == asio::error::operation_aborted) return " aborted";
  if (ec == asio::error::broken_pipe) return " closed";
  return " " + ec.message();
}

struct Fixture {
  asio::io_context io;
  LocalChannel<int> channel{io.get_executor(), 2};
  std::vector<std::string> log;

  // Runs whatever the channel has posted.
  void settle() {
    io.restart();
    io.poll();
  }
  void send(int value, asio::cancellation_slot slot = {}) {
    channel.async_send(value, asio::bind_cancellation_slot(slot, [this, value](std::error_code ec) {
      log.push_back("sent " + std::to_string(value) + outcome(ec));
    }));
  }
  void receive(asio::cancellation_slot slot = {}) {
    channel.async_receive(asio::bind_cancellation_slot(slot, [this](std::error_code ec, int v) {
      log.push_back(ec ? "receive failed" : "received " + std::to_string(v));
    }));
  }
};

}  // namespace

TEST(LocalChannel, SendsStillCompleteAfterACancelledReceive) {
  Fixture f;
  asio::cancellation_signal signal;
  f.receive(signal.slot());
  f.settle();
  signal.emit(asio::cancellation_type::all);
  f.settle();
  ASSERT_EQ(f.log, std::vector<std::string>{"receive failed"});
  f.send(1);
  f.settle();
  EXPECT_EQ(f.log.back(), "sent 1");
  EXPECT_EQ(f.channel.try_receive(), 1);
}

TEST(LocalChannel, WaitingSendersGoInOrderAsRoomFrees) {
  Fixture f;
  for (int v = 1; v <= 4; ++v) f.send(v);
  f.settle();
  EXPECT_EQ(f.log, (std::vector<std::string>{"sent 1", "sent 2"}));
  EXPECT_EQ(f.channel.try_receive(), 1);
  f.settle();
  EXPECT_EQ(f.log.back(), "sent 3");
  for (int v : {2, 3, 4}) EXPECT_EQ(f.channel.try_receive(), v);
  EXPECT_FALSE(f.channel.try_receive().has_value());
}

TEST(LocalChannel, ACancelledSendPutsNothingAndAWaitingReceiveGetsTheNext) {
  Fixture f;
  f.send(1);
  f.send(2);
  asio::cancellation_signal signal;
  f.send(3, signal.slot());
  signal.emit(asio::cancellation_type::all);
  f.settle();
  EXPECT_EQ(f.log.back(), "sent 3 aborted");
  EXPECT_EQ(f.channel.try_receive(), 1);
  EXPECT_EQ(f.channel.try_receive(), 2);
  EXPECT_FALSE(f.channel.try_receive().has_value());  // 3 was never put
  f.receive();
  f.settle();
  EXPECT_EQ(f.log.back(), "sent 3 aborted");  // the receive waits
  f.send(4);
  f.settle();
  EXPECT_EQ(f.log[f.log.size() - 2], "received 4");
  EXPECT_EQ(f.log.back(), "sent 4");
}

TEST(LocalChannel, CloseFailsWaitersAndLaterSends) {
  Fixture f;
  f.receive();
  f.settle();
  f.channel.close();
  f.send(9);
  f.settle();
  EXPECT_EQ(f.log, (std::vector<std::string>{"receive failed", "sent 9 closed"}));
}
