#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tervik/tree/ingestion.h"
#include "tervik/tree/testing/tree_fixture.h"

namespace tervik {
namespace {

// What one thread wrote: (seqno, key, value or none for a deletion), logged
// before the thread says it has finished the write.
struct WriteLog {
  struct Write {
    SeqNo seqno;
    std::string key;
    std::optional<std::string> value;
  };
  std::mutex mu;
  std::vector<Write> writes;

  void add(SeqNo s, std::string key, std::optional<std::string> value) {
    std::lock_guard lock(mu);
    writes.push_back(Write{s, std::move(key), std::move(value)});
  }
};

// Writers insert and delete, one thread flushes and ingests by turns, and
// readers scan super versions they hold across those installs: every scan,
// from either end, equals the logged writes as of its snapshot.
TEST(TreeScanConcurrent, ScansOfHeldSuperVersionsMatchTheModel) {
  testing::TreeDir dir;
  Tree t = dir.open();
  constexpr int kWriters = 3;
  constexpr int kReaders = 3;
  constexpr int kRounds = 12;
  std::atomic<bool> stop{false};
  std::atomic<int> installs{0};
  // The writers and, last, the ingesting thread.
  testing::InFlightWrites in_flight(kWriters + 1);
  WriteLog logs[kWriters + 1];
  auto model = [&](SeqNo snapshot, const KeyRange& range) {
    std::map<std::string, std::pair<SeqNo, std::optional<std::string>>> newest;
    for (WriteLog& log : logs) {
      std::lock_guard lock(log.mu);
      for (const auto& w : log.writes) {
        if (w.seqno >= snapshot || !range.contains(w.key)) continue;
        auto [it, fresh] = newest.try_emplace(w.key, w.seqno, w.value);
        if (!fresh && it->second.first < w.seqno) it->second = {w.seqno, w.value};
      }
    }
    std::vector<std::string> out;
    for (const auto& [k, v] : newest) {
      if (v.second) out.push_back(k + "=" + *v.second);
    }
    return out;
  };
  auto read_all = [](TreeIter it, bool back) {
    std::vector<std::string> out;
    while (ReadItem item = back ? it.next_back() : it.next()) {
      if (!item->ok()) return std::vector<std::string>{"<error> " + item->error().to_string()};
      out.push_back(std::string((*item)->key.user_key.view()) + "=" + std::string((*item)->value.view()));
    }
    if (back) std::reverse(out.begin(), out.end());
    return out;
  };

  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; !stop.load(); ++i) {
        const std::string key = "k" + std::to_string((i * 7 + w) % 48);
        in_flight.begin(w, dir.seqno);
        const SeqNo s = dir.seqno.next();
        if (i % 5 == 4) {
          t.remove(key, s);
          logs[w].add(s, key, std::nullopt);
        } else {
          const std::string value = std::to_string(w) + ":" + std::to_string(i);
          testing::put(t, key, value, s);
          logs[w].add(s, key, value);
        }
        in_flight.end(w);
        if (i % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  }
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&, r] {
      for (int n = 0; !stop.load(); ++n) {
        const SeqNo snapshot = in_flight.stable_snapshot(dir.seqno);
        const SuperVersion held = t.get_version_for_snapshot(snapshot);
        const KeyRange range = n % 2 == 0 ? KeyRange::all()
                                          : KeyRange{Bound::included(Slice(std::string_view("k2"))),
                                                     Bound::excluded(Slice(std::string_view("k4")))};
        const auto expect = model(snapshot, range);
        EXPECT_EQ(read_all(TreeIter::create_range(held, range, snapshot), false), expect) << "at " << snapshot;
        // Again after the next install, over the same held super version.
        const int seen = installs.load();
        while (installs.load() == seen && !stop.load()) std::this_thread::yield();
        EXPECT_EQ(read_all(TreeIter::create_range(held, range, snapshot), (n + r) % 2 == 1), expect)
            << "at " << snapshot << " after an install";
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (i % 2 == 0) {
        auto guard = t.lock_flush();
        t.rotate_memtable();
        auto r = t.flush_sealed_memtables(0);
        if (!r.ok()) ADD_FAILURE() << r.error().to_string();
      } else {
        // Ingested keys overwrite some of the writers' keys.
        auto ing = Ingestion::create(t);
        if (!ing.ok()) {
          ADD_FAILURE() << ing.error().to_string();
          break;
        }
        std::vector<std::pair<std::string, std::string>> batch;
        for (int k = 10; k < 30; k += 3) batch.emplace_back("k" + std::to_string(k), "ingested " + std::to_string(i));
        for (const auto& [k, v] : batch) EXPECT_TRUE(ing->write(k, v).ok());
        in_flight.begin(kWriters, dir.seqno);
        auto st = std::move(*ing).finish();
        if (!st.ok()) ADD_FAILURE() << st.error().to_string();
        const SeqNo s = t.latest_super_version().seqno;
        for (const auto& [k, v] : batch) logs[kWriters].add(s, k, v);
        in_flight.end(kWriters);
      }
      installs.fetch_add(1);
    }
    stop.store(true);
  });
  for (auto& th : threads) th.join();
  EXPECT_EQ(installs.load(), kRounds);
}

}  // namespace
}  // namespace tervik
