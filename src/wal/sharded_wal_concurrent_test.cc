// Many threads appending singles and batches to one sharded log: every record
// lands once, each thread's records replay in its own order, and a failure
// injected mid-run neither blocks the other threads nor leaves its record.
#include <atomic>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "platform/testing/temp_dir.h"
#include "src/wal/sharded_wal.h"
#include "src/wal/testing/faulty_wal_file.h"
#include "src/wal/wal_recovery.h"

namespace zv::wal {
namespace {

TEST(ShardedWalConcurrent, ThreadsKeepTheirOrderAndNothingIsLost) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 300;
  zv::testing::TempDir dir;
  const std::string w = fs::join(dir.path(), "zolva.wal");
  testing::FaultyWalFileSystem faulty;
  ShardedWalOptions o;
  o.sync_mode = static_cast<uint8_t>(SyncMode::kEveryNth);
  o.sync_every = 8;
  o.fs = &faulty;
  auto log = ShardedWal::open(w, 3, o);
  ASSERT_TRUE(log.ok());
  faulty.fail_nth(testing::FaultOp::kSync, 40);
  std::atomic<int> failures{0};
  std::vector<std::vector<int>> acked(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int n = 0; n < kPerThread;) {
        const int k = (n + t) % 5 == 0 ? 3 : 1;
        std::vector<std::string> payloads;
        for (int j = 0; j < k; ++j) payloads.push_back(std::to_string(t) + ":" + std::to_string(n + j));
        std::vector<std::string_view> views(payloads.begin(), payloads.end());
        auto st = k == 1 ? (*log)->append(views[0]) : (*log)->append_batch(views);
        if (st.ok()) {
          for (int j = 0; j < k; ++j) acked[t].push_back(n + j);
        } else {
          failures.fetch_add(1);
        }
        n += k;
        if (t == 0 && n % 50 == 0) (void)(*log)->total_records();
      }
    });
  }
  for (auto& th : threads) th.join();
  log->reset();
  EXPECT_EQ(failures.load(), 1);
  auto rec = recover_payloads(w, 3, 0);
  ASSERT_TRUE(rec.ok());
  std::vector<std::vector<int>> seen(kThreads);
  for (const auto& r : *rec) {
    const size_t colon = r.payload.find(':');
    seen[std::stoi(r.payload.substr(0, colon))].push_back(std::stoi(r.payload.substr(colon + 1)));
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(seen[t], acked[t]) << "thread " << t;
}

}  // namespace
}  // namespace zv::wal
