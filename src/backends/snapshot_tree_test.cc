#include "src/backends/snapshot_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>

namespace zv {
namespace {

using Model = std::map<std::string, std::string>;

std::vector<std::pair<std::string, std::string>> walk(const SnapshotTree::Node* root,
                                                      std::string_view from = {}) {
  std::vector<std::pair<std::string, std::string>> out;
  SnapshotTree::Cursor c(root);
  for (c.seek(from); c.valid(); c.next()) out.emplace_back(c.key(), c.value());
  return out;
}

std::vector<std::pair<std::string, std::string>> walk(const Model& m, std::string_view from = {}) {
  return {m.lower_bound(std::string(from)), m.end()};
}

// Random puts (new keys, same-size and resized values, values large enough
// to split leaves alone) and deletes against a std::map, with snapshots taken
// along the way that must keep the contents they had.
TEST(SnapshotTree, MatchesAnOrderedMapAndSnapshotsNeverChange) {
  for (uint64_t seed : {1u, 2u, 3u}) {
    std::mt19937_64 rng(seed);
    SnapshotTree t;
    Model m;
    std::vector<std::pair<SnapshotTree::Snapshot, Model>> snaps;
    auto key = [&] {
      // Few distinct first bytes, so keys share prefixes; bytes 0 and 0xFF included.
      std::string k(1 + rng() % 24, '\0');
      static constexpr char kBytes[] = {'\x00', '\x01', 'a', 'b', '\x7f', '\x80', '\xff'};
      for (char& ch : k) ch = kBytes[rng() % sizeof kBytes];
      return k;
    };
    for (int step = 0; step < 20000; ++step) {
      const uint64_t r = rng() % 1000;
      if (r < 600) {
        std::string k = key();
        std::string v(rng() % 50 == 0 ? rng() % 6000 : rng() % 40, static_cast<char>('a' + step % 26));
        t.put(k, v);
        m[k] = v;
      } else if (r < 950) {
        // Deletes of absent keys as often as of present ones.
        std::string k = key();
        if (rng() % 2 && !m.empty()) k = std::next(m.begin(), static_cast<long>(rng() % m.size()))->first;
        t.erase(k);
        m.erase(k);
      } else if (r < 953) {
        snaps.emplace_back(t.snapshot(), m);
      } else {
        const std::string k = key();
        auto got = t.find(k);
        auto want = m.find(k);
        ASSERT_EQ(got.has_value(), want != m.end()) << "seed " << seed << " step " << step;
        if (got) {
          ASSERT_EQ(*got, want->second);
        }
      }
      ASSERT_EQ(t.size(), m.size());
    }
    ASSERT_EQ(walk(t.root()), walk(m)) << "seed " << seed;
    for (const std::string& from : {std::string("a"), std::string("\x80"), std::string("\xff\xff"), std::string(1, '\0')})
      ASSERT_EQ(walk(t.root(), from), walk(m, from)) << "seed " << seed;
    for (const auto& [snap, model] : snaps) ASSERT_EQ(walk(snap.get()), walk(model)) << "seed " << seed;
    // Emptied, the tree is empty again and its snapshots stay.
    for (const auto& [k, v] : m) t.erase(k);
    EXPECT_EQ(t.size(), 0u);
    EXPECT_TRUE(walk(t.root()).empty());
    for (const auto& [snap, model] : snaps) ASSERT_EQ(walk(snap.get()), walk(model)) << "seed " << seed;
  }
}

TEST(SnapshotTree, EmptyTreeAndEmptyKeyAndValue) {
  SnapshotTree t;
  EXPECT_FALSE(t.find("").has_value());
  EXPECT_TRUE(walk(t.root()).empty());
  t.erase("absent");
  t.put("", "");
  ASSERT_TRUE(t.find("").has_value());
  EXPECT_EQ(*t.find(""), "");
  EXPECT_EQ(walk(t.root()), (std::vector<std::pair<std::string, std::string>>{{"", ""}}));
}

// Sorted batches, small ones (key by key) and ones large next to the tree
// (merged into new nodes), against a std::map: repeated keys in one batch
// (put then erase, erase then put, two puts), erases of absent keys, a batch
// that empties the tree; snapshots taken between batches keep their contents
// and the tree takes plain puts afterwards.
TEST(SnapshotTree, SortedBatchesMatchAnOrderedMapOnBothPaths) {
  for (size_t batch_size : {size_t{40}, size_t{300}, size_t{5000}}) {
    std::mt19937_64 rng(batch_size);
    SnapshotTree t;
    Model m;
    std::vector<std::pair<SnapshotTree::Snapshot, Model>> snaps;
    for (int round = 0; round < 30; ++round) {
      std::vector<std::string> keys, values;
      std::vector<bool> puts;
      const bool clear_all = round == 20;
      if (clear_all) {
        for (const auto& [k, v] : m) keys.push_back(k);
      } else {
        for (size_t i = 0; i < batch_size; ++i) keys.push_back("k" + std::to_string(rng() % (batch_size * 4)));
      }
      for (size_t i = 0; i < keys.size(); ++i) {
        puts.push_back(!clear_all && rng() % 3 != 0);
        values.push_back(std::string(rng() % 50 == 0 ? 3000 : rng() % 30, static_cast<char>('a' + i % 26)));
      }
      std::vector<size_t> order(keys.size());
      for (size_t i = 0; i < order.size(); ++i) order[i] = i;
      std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return keys[a] < keys[b]; });
      std::vector<SnapshotTree::Write> writes;
      for (size_t i : order) {
        writes.push_back({keys[i], puts[i] ? std::optional<std::string_view>(values[i]) : std::nullopt});
        if (puts[i]) {
          m[keys[i]] = values[i];
        } else {
          m.erase(keys[i]);
        }
      }
      t.apply_sorted(writes);
      ASSERT_EQ(t.size(), m.size()) << batch_size << " round " << round;
      ASSERT_EQ(walk(t.root()), walk(m)) << batch_size << " round " << round;
      ASSERT_EQ(walk(t.root(), "k5"), walk(m, "k5")) << batch_size << " round " << round;
      if (round % 5 == 0) snaps.emplace_back(t.snapshot(), m);
    }
    for (int i = 0; i < 2000; ++i) {
      const std::string k = "k" + std::to_string(rng() % (batch_size * 4));
      t.put(k, "p");
      m[k] = "p";
      auto got = t.find(k);
      ASSERT_TRUE(got && *got == "p");
    }
    ASSERT_EQ(walk(t.root()), walk(m)) << batch_size;
    for (const auto& [snap, model] : snaps) ASSERT_EQ(walk(snap.get()), walk(model)) << batch_size;
  }
}

}  // namespace
}  // namespace zv
