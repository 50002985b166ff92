#include "morva/src/worker_message.h"

#include <gtest/gtest.h>

#include "morva/src/testing/test_keyspace.h"

namespace morva {
namespace {

TEST(WorkerMessageTest, DisplayTexts) {
  auto ks = std::make_shared<testing::TestKeyspace>("default");
  EXPECT_EQ(WorkerMessage::flush().to_string(), "WorkerMessage:Flush");
  EXPECT_EQ(WorkerMessage::close().to_string(), "WorkerMessage:Close");
  EXPECT_EQ(WorkerMessage::compact(ks).to_string(), "WorkerMessage:Compact(default)");
  EXPECT_EQ(WorkerMessage::rotate(7, ks).to_string(), "WorkerMessage:Rotate(default, 7)");
  EXPECT_EQ(static_cast<int>(WorkerMessage::rotate(7, ks).tag), 3);
  EXPECT_EQ(static_cast<int>(WorkerMessage::compact(ks).tag), 1);
}

TEST(ChannelTest, BoundedFirstInFirstOutWithTrySendHandingBack) {
  auto [tx, rx] = bounded_channel<int>(kWorkerChannelCapacity);
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(tx.try_send(int{i}));
  int extra = 1000;
  EXPECT_FALSE(tx.try_send(std::move(extra)));
  EXPECT_EQ(extra, 1000) << "the 1,001st message comes back";
  EXPECT_EQ(rx.len(), 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(rx.try_recv(), i);
  EXPECT_EQ(rx.try_recv(), std::nullopt);
}

TEST(ChannelTest, DisconnectedEnds) {
  auto tasks = make_flush_queue();
  auto ks = std::make_shared<testing::TestKeyspace>("a");
  ASSERT_TRUE(tasks.first.try_send(std::make_shared<FlushTask>(FlushTask{ks})));
  {
    FlushQueueReceiver gone = std::move(tasks.second);
  }
  auto task = std::make_shared<FlushTask>(FlushTask{ks});
  EXPECT_FALSE(tasks.first.send(std::move(task)));
  EXPECT_NE(task, nullptr) << "a send without receivers keeps the message";

  auto [tx, rx] = bounded_channel<std::string>(4);
  ASSERT_TRUE(tx.send("last"));
  {
    Sender<std::string> gone = std::move(tx);
  }
  EXPECT_EQ(rx.recv(), "last");
  EXPECT_EQ(rx.recv(), std::nullopt) << "no sender left and empty";
}

}  // namespace
}  // namespace morva
