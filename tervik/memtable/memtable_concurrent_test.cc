// Writers and readers on one memtable at once; run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "tervik/memtable/memtable.h"

namespace tervik {
namespace {

constexpr int kWriters = 4;
constexpr int kReaders = 3;
constexpr int kPerWriter = 4000;

std::string key_of(int i) {
  // Every fifth key is long enough to live in a shared buffer.
  std::string k = "key" + std::to_string(i % 1000);
  if (i % 5 == 0) k += std::string(24, 'L');
  return k;
}

// The value names its key and sequence number, so readers can tell a torn
// or mismatched entry.
std::string value_of(std::string_view key, SeqNo s, int writer) {
  return std::string(key) + "@" + std::to_string(s) + "#" + std::to_string(writer);
}

bool consistent(const InternalValue& v) {
  std::string prefix = std::string(v.key.user_key.view()) + "@" + std::to_string(v.key.seqno) + "#";
  return v.value.view().substr(0, prefix.size()) == prefix;
}

TEST(MemtableConcurrentTest, WritersAndTwoWayReaders) {
  auto m = Memtable::create(1);
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < kPerWriter; ++i) {
        int n = i * kWriters + w;
        std::string k = key_of(n);
        SeqNo s = static_cast<SeqNo>(n);
        m->insert(InternalValue::new_value(Slice(k), Slice(value_of(k, s, w)), s));
        // Every writer also hits one shared internal key: replacements race.
        if (i % 16 == 0) {
          m->insert(InternalValue::new_value(Slice("shared"), Slice(value_of("shared", 0, w)), 0));
        }
      }
    });
  }
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&, r] {
      std::mt19937_64 rng(r);
      while (!done.load(std::memory_order_acquire)) {
        SeqNo snapshot = rng() % (kWriters * kPerWriter + 10);
        MemtableRange it = m->range(KeyRange::all(), snapshot);
        std::optional<InternalKey> last_front, last_back;
        for (int step = 0; step < 2000; ++step) {
          bool back = rng() % 2;
          ReadItem item = back ? it.next_back() : it.next();
          if (!item) break;
          const InternalValue& v = item->value();
          bool ok = v.key.seqno < snapshot && consistent(v);
          if (back) {
            ok = ok && (!last_back || v.key < *last_back) && (!last_front || *last_front < v.key);
            last_back = v.key;
          } else {
            ok = ok && (!last_front || *last_front < v.key) && (!last_back || v.key < *last_back);
            last_front = v.key;
          }
          if (!ok) failures.fetch_add(1);
        }
        std::string k = key_of(static_cast<int>(rng() % 1000));
        if (auto got = m->get(k, snapshot)) {
          if (got->key.user_key != Slice(k) || got->key.seqno >= snapshot || !consistent(*got)) {
            failures.fetch_add(1);
          }
        }
      }
    });
  }
  for (int w = 0; w < kWriters; ++w) threads[w].join();
  done.store(true, std::memory_order_release);
  for (size_t t = kWriters; t < threads.size(); ++t) threads[t].join();
  EXPECT_EQ(failures.load(), 0);

  // Afterwards: exactly every written entry, in order, once; the shared key
  // once.
  EXPECT_EQ(m->len(), size_t{kWriters * kPerWriter + 1});
  std::set<SeqNo> seen;
  MemtableRange it = m->iter();
  std::optional<InternalKey> prev;
  for (ReadItem item = it.next(); item; item = it.next()) {
    const InternalValue& v = item->value();
    EXPECT_TRUE(consistent(v)) << v.debug_string();
    if (prev) {
      EXPECT_LT(*prev, v.key);
    }
    prev = v.key;
    if (v.key.user_key != Slice("shared")) seen.insert(v.key.seqno);
  }
  EXPECT_EQ(seen.size(), size_t{kWriters * kPerWriter});
  EXPECT_EQ(m->get_highest_seqno(), SeqNo{kWriters * kPerWriter - 1});
}

}  // namespace
}  // namespace tervik
