#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "morva/src/channel.h"

namespace morva {
namespace {

TEST(ChannelConcurrentTest, ABlockingSendWaitsForAReceiver) {
  auto [tx, rx] = bounded_channel<int>(2);
  ASSERT_TRUE(tx.try_send(1));
  ASSERT_TRUE(tx.try_send(2));
  std::atomic<bool> sent{false};
  std::thread sender([&, tx = tx]() mutable {
    ASSERT_TRUE(tx.send(3));
    sent = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(sent.load()) << "full: the send waits";
  EXPECT_EQ(rx.recv(), 1);
  sender.join();
  EXPECT_TRUE(sent.load());
  EXPECT_EQ(rx.recv(), 2);
  EXPECT_EQ(rx.recv(), 3);
}

TEST(ChannelConcurrentTest, EveryMessageIsTakenExactlyOnceInProducerOrder) {
  constexpr int kProducers = 8;
  constexpr int kPerProducer = 20000;
  auto [tx, rx] = bounded_channel<int>(1000);
  std::vector<std::thread> threads;
  std::vector<std::vector<int>> taken(4);
  for (int c = 0; c < 4; ++c) {
    threads.emplace_back([&, c, rx = rx]() mutable {
      while (auto v = rx.recv()) taken[c].push_back(*v);
    });
  }
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([p, tx = tx]() mutable {
      for (int i = 0; i < kPerProducer; ++i) {
        if (!tx.send(p * kPerProducer + i)) return;
      }
    });
  }
  {
    Sender<int> last = std::move(tx);  // the producers hold the remaining ends
  }
  for (auto& t : threads) t.join();
  std::vector<int> seen(kProducers * kPerProducer, 0);
  for (const auto& list : taken) {
    std::vector<int> last_of(kProducers, -1);
    for (int v : list) {
      ++seen[v];
      // One consumer sees each producer's messages in send order.
      EXPECT_GT(v, last_of[v / kPerProducer]);
      last_of[v / kPerProducer] = v;
    }
  }
  for (int n : seen) ASSERT_EQ(n, 1);
}

}  // namespace
}  // namespace morva
