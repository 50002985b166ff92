#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "tervik/compaction/leveled.h"
#include "tervik/tree/testing/tree_fixture.h"

namespace tervik {
namespace {

// The leveled strategy, checking on every choice that a merge or move takes
// no table another run has hidden.
class CheckedLeveled final : public compaction::CompactionStrategy {
 public:
  explicit CheckedLeveled(LeveledOptions o) : inner_(std::move(o)) {}
  std::string_view name() const override { return inner_.name(); }
  std::vector<compaction::ConfigEntry> config() const override { return inner_.config(); }
  compaction::Choice choose(const Version& v, const TreeConfig& c, const HiddenTableSet& hidden) const override {
    compaction::Choice choice = inner_.choose(v, c, hidden);
    if (const auto* m = std::get_if<compaction::Merge>(&choice)) {
      merges.fetch_add(1);
      if (contains_any(hidden, m->input.table_ids)) overlaps.fetch_add(1);
    }
    return choice;
  }
  mutable std::atomic<int> merges{0};
  mutable std::atomic<int> overlaps{0};

 private:
  compaction::Leveled inner_;
};

// Two compacting threads, a flushing thread, writers and readers on one
// tree. Each writer owns its keys and publishes the counter of its last
// finished write; a read must see that write or a later one.
TEST(CompactionConcurrent, CompactorsFlushesWritersAndReadersAgree) {
  testing::TreeDir dir;
  Tree t = dir.open();
  constexpr int kWriters = 3;
  constexpr int kReaders = 2;
  constexpr int kKeysPerWriter = 40;
  LeveledOptions options;
  options.target_size = 2048;
  options.l0_threshold = 2;
  options.level_ratio_policy = {4.0f};
  auto strategy = std::make_shared<CheckedLeveled>(options);
  zv::log::CaptureSink sink(zv::log::Level::kWarn);

  std::atomic<bool> stop{false};
  std::atomic<bool> failed{false};
  std::vector<std::atomic<int64_t>> done(kWriters * kKeysPerWriter);
  for (auto& d : done) d.store(-1);
  auto value_of = [](int key, int64_t i) { return "k" + std::to_string(key) + ":" + std::to_string(i); };

  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int64_t i = 0; !stop.load(); ++i) {
        const int key = w * kKeysPerWriter + static_cast<int>(i % kKeysPerWriter);
        testing::put(t, "k" + std::to_string(key), value_of(key, i), dir.seqno.next());
        done[key].store(i);
        if (i % 32 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  }
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&, r] {
      for (int n = r; !stop.load(); ++n) {
        const int key = n % (kWriters * kKeysPerWriter);
        const int64_t floor = done[key].load();
        const std::string got = testing::read(t, "k" + std::to_string(key), UINT64_MAX);
        if (floor < 0) continue;
        const std::string prefix = "k" + std::to_string(key) + ":";
        if (got.rfind(prefix, 0) != 0 || std::stoll(got.substr(prefix.size())) < floor) {
          ADD_FAILURE() << "key " << key << ": read " << got << ", finished write " << floor;
          failed.store(true);
        }
      }
    });
  }
  threads.emplace_back([&] {
    while (!stop.load()) {
      {
        auto guard = t.lock_flush();
        t.rotate_memtable();
        if (auto r = t.flush_sealed_memtables(dir.seqno.get()); !r.ok()) {
          ADD_FAILURE() << "flush: " << r.error().to_string();
          failed.store(true);
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  for (int c = 0; c < 2; ++c) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        if (auto st = t.compact(strategy, dir.seqno.get()); !st.ok()) {
          ADD_FAILURE() << "compaction: " << st.error().to_string();
          failed.store(true);
        }
      }
    });
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < deadline && !failed.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  stop.store(true);
  for (auto& th : threads) th.join();

  EXPECT_GT(strategy->merges.load(), 0);
  EXPECT_EQ(strategy->overlaps.load(), 0);
  EXPECT_TRUE(t.inner()->hidden.empty());
  for (const auto& e : sink.events()) ADD_FAILURE() << "logged: " << e.message;
  for (int key = 0; key < kWriters * kKeysPerWriter; ++key) {
    const int64_t last = done[key].load();
    if (last >= 0) {
      EXPECT_EQ(testing::read(t, "k" + std::to_string(key), UINT64_MAX), value_of(key, last));
    }
  }
}

}  // namespace
}  // namespace tervik
