// Many threads appending singles and batches to one sharded log: every record
// lands once, each thread's records replay in its own order, and a failed
// sync stops its shard without blocking the other threads or leaving its
// record. Checkpoints, rotating the shards, are taken while writers append
// without pause.
#include <atomic>
#include <map>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/testing/temp_dir.h"
#include "src/wal/sharded_wal.h"
#include "platform/testing/faulty_file_system.h"
#include "src/wal/wal_reader.h"
#include "src/wal/wal_recovery.h"
#include "src/wal/wal_shard_files.h"

namespace zv::wal {
namespace {

TEST(ShardedWalConcurrent, ThreadsKeepTheirOrderAndNothingIsLost) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 300;
  zv::testing::TempDir dir;
  const std::string w = fs::join(dir.path(), "zolva.wal");
  zv::testing::FaultyFileSystem faulty;
  ShardedWalOptions o;
  o.sync_mode = static_cast<uint8_t>(SyncMode::kEveryNth);
  o.sync_every = 8;
  o.fs = &faulty;
  auto log = ShardedWal::open(w, 3, o);
  ASSERT_TRUE(log.ok());
  faulty.fail_nth(zv::testing::FaultOp::kSync, 40);
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
  // The failed sync stopped its shard: that append and every later one on
  // the shard failed, the other shards went on.
  EXPECT_GE(failures.load(), 1);
  auto rec = recover_payloads(w, 3, 0);
  ASSERT_TRUE(rec.ok());
  std::vector<std::vector<int>> seen(kThreads);
  for (const auto& r : *rec) {
    const size_t colon = r.payload.find(':');
    seen[std::stoi(r.payload.substr(0, colon))].push_back(std::stoi(r.payload.substr(colon + 1)));
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(seen[t], acked[t]) << "thread " << t;
}

// Slots of each current shard file, read from the files alone.
std::vector<uint64_t> slots_on_disk(const std::string& w, uint64_t shards) {
  std::vector<uint64_t> out;
  for (uint64_t i = 0; i < shards; ++i) {
    auto reader = WalReader::open(FileSystem::os(), shard_path(shards, w, i), 65536, nullptr);
    uint64_t slots = 0;
    std::string payload;
    if (reader.ok()) {
      while (true) {
        auto got = reader->next(&payload);
        if (!got.ok() || !*got) break;
        slots = reader->slot() + 1;
      }
    }
    out.push_back(slots);
  }
  return out;
}

// Eight writers that never pause while checkpoints come every few ms: every
// checkpoint succeeds within its bound, never stores a position whose record
// or an earlier one is not in the files yet, and rotations happen within a
// few checkpoints of a shard passing the size limit. Every acknowledged
// record ends up exactly once in an archived or a current shard file.
TEST(ShardedWalConcurrent, CheckpointsUnderWritersThatNeverPause) {
  constexpr int kThreads = 8;
  constexpr uint64_t kShards = 3;
  constexpr uint64_t kMaxFile = 8 * 1024;
  zv::testing::TempDir dir;
  const std::string w = fs::join(dir.path(), "zolva.wal");
  ShardedWalOptions o;
  o.max_file_size = kMaxFile;
  auto log = ShardedWal::open(w, kShards, o);
  ASSERT_TRUE(log.ok());
  std::atomic<int> rotations{0};
  std::atomic<bool> stop{false};
  CheckpointStore store = [&](uint64_t cp) -> ZolvaStatus {
    if (cp == 0) {
      rotations.fetch_add(1);
      return {};
    }
    // Every position below cp is in the files: shard i holds its slots.
    const std::vector<uint64_t> slots = slots_on_disk(w, kShards);
    for (uint64_t i = 0; i < kShards; ++i) {
      const uint64_t want = cp > i ? (cp - i + kShards - 1) / kShards : 0;
      EXPECT_GE(slots[i], want) << "checkpoint " << cp << " shard " << i;
    }
    return {};
  };
  std::vector<int> written(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      int n = 0;
      while (!stop.load()) {
        const int k = (n + t) % 4 == 0 ? 3 : 1;  // batches hold several shard locks
        std::vector<std::string> payloads;
        for (int j = 0; j < k; ++j) payloads.push_back(std::to_string(t) + ":" + std::to_string(n + j));
        std::vector<std::string_view> views(payloads.begin(), payloads.end());
        EXPECT_TRUE((k == 1 ? (*log)->append(views[0]) : (*log)->append_batch(views)).ok());
        n += k;
      }
      written[t] = n;
    });
  }
  int checkpoints = 0, over_limit = 0, worst_wait = 0;
  const uint64_t start = monotonic_ns();
  const auto bound = o.checkpoint_wait + o.rotation_wait;
  while (rotations.load() < 3 && monotonic_ns() - start < 20'000'000'000ull) {
    sleep_ms(2);
    // Checkpoints taken while a shard is past the limit, until it rotates.
    bool past = false;
    for (uint64_t i = 0; i < kShards; ++i) {
      auto size = fs::file_size(shard_path(kShards, w, i));
      past = past || (size.ok() && *size >= kMaxFile);
    }
    const int before = rotations.load();
    const uint64_t t0 = monotonic_ns();
    auto st = (*log)->checkpoint((*log)->positions_handed_out(), store);
    const uint64_t took_ms = (monotonic_ns() - t0) / 1'000'000;
    ASSERT_TRUE(st.ok()) << st.error().message();
    EXPECT_LE(took_ms, static_cast<uint64_t>(bound.count()));
    ++checkpoints;
    if (rotations.load() != before) {
      worst_wait = std::max(worst_wait, over_limit);
      over_limit = 0;
      sleep_ms(2);  // archive names carry the millisecond
    } else if (past) {
      ++over_limit;
    }
  }
  stop.store(true);
  for (auto& th : threads) th.join();
  std::printf("%d checkpoints, %d rotations, at most %d checkpoints past the limit\n",
              checkpoints, rotations.load(), worst_wait);
  EXPECT_GE(rotations.load(), 3);
  EXPECT_LE(worst_wait, 5);
  log->reset();

  std::multiset<std::string> seen;
  auto names = fs::list_dir(dir.path());
  ASSERT_TRUE(names.ok());
  for (const std::string& name : *names) {
    if (name.find(".wal.") == std::string::npos || name.find(".shards") != std::string::npos)
      continue;  // only archives: "<shard file>.<ms>"
    auto reader = WalReader::open(FileSystem::os(), fs::join(dir.path(), name), 65536, nullptr);
    ASSERT_TRUE(reader.ok()) << name;
    std::string payload;
    for (;;) {
      auto got = reader->next(&payload);
      ASSERT_TRUE(got.ok());
      if (!*got) break;
      if (payload != kFillerPayload) seen.insert(payload);
    }
  }
  auto rec = recover_payloads(w, kShards, 0);
  ASSERT_TRUE(rec.ok());
  for (const auto& r : *rec) seen.insert(r.payload);
  size_t total = 0;
  for (int t = 0; t < kThreads; ++t) total += written[t];
  ASSERT_EQ(seen.size(), total);
  for (int t = 0; t < kThreads; ++t)
    for (int n = 0; n < written[t]; ++n)
      ASSERT_EQ(seen.count(std::to_string(t) + ":" + std::to_string(n)), 1u) << t << ":" << n;
}

}  // namespace
}  // namespace zv::wal
