// Random operations on a tree checked against a sorted map of each key's
// history, with compactions (the leveled strategy with kilobyte targets, so
// that moves, merges and last-level merges all occur) run between the
// operations and on a second thread. ZV_TREE_MODEL_OPS sets the operations
// per seed (longer runs).
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <set>

#include <atomic>
#include <thread>

#include "platform/fs.h"
#include "tervik/compaction/leveled.h"
#include "tervik/core/atomic_file.h"
#include "tervik/tree/ingestion.h"
#include "tervik/tree/testing/tree_fixture.h"

namespace tervik {
namespace {

struct Model {
  // key -> (seqno -> value, none for a deletion)
  std::map<std::string, std::map<SeqNo, std::optional<std::string>>> history;

  std::string read(const std::string& key, SeqNo snapshot) const {
    auto it = history.find(key);
    if (it == history.end()) return "<none>";
    auto v = it->second.lower_bound(snapshot);
    if (v == it->second.begin()) return "<none>";
    --v;
    return v->second ? *v->second : "<none>";
  }
  // "key=value" of every key within `range` whose newest version below
  // `snapshot` is a value, in key order.
  std::vector<std::string> scan(const KeyRange& range, SeqNo snapshot) const {
    std::vector<std::string> out;
    for (const auto& [k, versions] : history) {
      if (!range.contains(k)) continue;
      auto v = versions.lower_bound(snapshot);
      if (v == versions.begin() || !(--v)->second) continue;
      out.push_back(k + "=" + *v->second);
    }
    return out;
  }
  // Forgets what a reopen loses: everything above `bound`.
  void truncate_above(SeqNo bound) {
    for (auto& [k, versions] : history) versions.erase(versions.upper_bound(bound), versions.end());
  }
};

size_t ops_per_seed() {
  const char* v = std::getenv("ZV_TREE_MODEL_OPS");
  return v != nullptr ? static_cast<size_t>(std::strtoull(v, nullptr, 10)) : 3000;
}

compaction::StrategyHandle small_leveled() {
  LeveledOptions o;
  o.target_size = 2048;
  o.l0_threshold = 2;
  o.level_ratio_policy = {2.0f};
  return std::make_shared<compaction::Leveled>(o);
}

// Compacts `tree` in a loop, each run with the current watermark, until
// stopped.
class BackgroundCompactor {
 public:
  BackgroundCompactor(Tree tree, const std::atomic<SeqNo>& watermark)
      : thread_([this, tree, &watermark] {
          const auto strategy = small_leveled();
          while (!stop_.load()) {
            if (auto st = tree.compact(strategy, watermark.load()); !st.ok()) {
              ADD_FAILURE() << "background compaction: " << st.error().to_string();
              return;
            }
            std::this_thread::yield();
          }
        }) {}
  ~BackgroundCompactor() {
    stop_.store(true);
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// After a reopen the folder holds the files of the version and nothing else.
void expect_only_version_files(const testing::TreeDir& dir, const Tree& tree) {
  std::set<std::string> listed;
  for (const Table& t : tree.current_version().tables()) listed.insert(std::to_string(t.id()));
  auto tables = zv::fs::list_dir(dir.tables());
  ASSERT_TRUE(tables.ok());
  EXPECT_EQ(std::set<std::string>(tables->begin(), tables->end()), listed);
  const std::string live = version_file_name(tree.current_version().id());
  auto names = zv::fs::list_dir(dir.path());
  ASSERT_TRUE(names.ok());
  for (const std::string& name : *names) {
    if (name == "tables" || name == "current" || name == live || file::is_temp_name(name)) continue;
    ADD_FAILURE() << "unexpected file " << name;
  }
}

std::string entry_text(const ReadItem& item) {
  if (!item->ok()) return "<error> " + item->error().to_string();
  return std::string((*item)->key.user_key.view()) + "=" + std::string((*item)->value.view());
}

// Reads `it` in the interleaving `rng` draws (all forwards, all backwards or
// mixed) and returns the entries in key order: the front's, then the back's
// reversed.
std::vector<std::string> read_interleaved(TreeIter it, std::mt19937_64& rng) {
  const uint64_t mode = rng() % 3;
  std::vector<std::string> front, back;
  for (;;) {
    const bool from_back = mode == 1 || (mode == 2 && rng() % 2 == 0);
    ReadItem item = from_back ? it.next_back() : it.next();
    if (!item) break;
    (from_back ? back : front).push_back(entry_text(item));
  }
  front.insert(front.end(), back.rbegin(), back.rend());
  return front;
}

void run_model(uint64_t seed) {
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  auto pick = [&](uint64_t n) { return static_cast<uint64_t>(rng() % n); };
  testing::TreeDir dir;
  std::optional<Tree> tree = dir.open();
  Model model;
  std::multiset<SeqNo> snapshots;
  const auto strategy = small_leveled();
  // The watermark of the open snapshots, for the compactions.
  std::atomic<SeqNo> watermark{dir.seqno.get()};
  auto update_watermark = [&] { watermark.store(snapshots.empty() ? dir.seqno.get() : *snapshots.begin()); };
  auto compactor = std::make_optional<BackgroundCompactor>(*tree, watermark);
  std::set<std::string> written_once, retired;
  SeqNo sealed_upto = 0;     // the highest seqno that the last rotation sealed
  SeqNo persisted_upto = 0;  // the highest seqno that a registered flush holds

  std::vector<std::string> events;  // printed on a failure
  auto key_of = [](uint64_t i) { return "key" + std::to_string(i); };
  auto history_of = [&](const std::string& k) {
    std::string out;
    for (const std::string& e : events) {
      if (e.find(" " + k + " ") != std::string::npos || e[0] == '#') out += e + "\n";
    }
    return out;
  };
  auto check = [&](const char* when) {
    std::vector<SeqNo> at(snapshots.begin(), snapshots.end());
    at.push_back(dir.seqno.get());
    for (SeqNo s : at) {
      for (uint64_t i = 0; i < 300; i += 1 + pick(7)) {
        const std::string k = key_of(i);
        ASSERT_EQ(testing::read(*tree, k, s), model.read(k, s))
            << when << ": " << k << " at " << s << " latest " << dir.seqno.get() << " max read "
            << testing::read(*tree, k, UINT64_MAX) << " snapshots " << snapshots.size() << "\n"
            << history_of(k);
      }
    }
  };

  // A bound at a stored key, between keys, or beyond them all.
  auto random_bound = [&]() {
    const uint64_t kind = pick(3);
    if (kind == 2) return Bound::unbounded();
    std::string k = pick(8) == 0 ? std::string(pick(2) == 0 ? "" : "kez") : key_of(pick(310));
    if (pick(3) == 0) k += "5";
    return kind == 0 ? Bound::included(Slice(k)) : Bound::excluded(Slice(k));
  };
  auto check_scans = [&](const char* when) {
    std::vector<SeqNo> at(snapshots.begin(), snapshots.end());
    at.push_back(dir.seqno.get());
    for (SeqNo s : at) {
      for (int round = 0; round < 3; ++round) {
        const KeyRange range{random_bound(), random_bound()};
        const auto got = read_interleaved(TreeIter::create_range(tree->get_version_for_snapshot(s), range, s), rng);
        ASSERT_EQ(got, model.scan(range, s)) << when << ": range " << range.lo.key.view() << " "
                                             << static_cast<int>(range.lo.kind) << " .. " << range.hi.key.view()
                                             << " " << static_cast<int>(range.hi.kind) << " at " << s;
      }
    }
    // The prefix scan sees the newest state.
    const std::string start = pick(4) == 0 ? "" : key_of(pick(300)).substr(0, 3 + pick(3));
    const auto got = read_interleaved(TreeIter::create_prefix(tree->latest_super_version(), start), rng);
    ASSERT_EQ(got, model.scan(KeyRange{Bound::included(Slice(start)), Bound::unbounded()}, dir.seqno.get()))
        << when << ": prefix " << start;
  };

  const size_t ops = ops_per_seed();
  for (size_t op = 0; op < ops; ++op) {
    update_watermark();
    const uint64_t kind = pick(100);
    if (kind < 55) {
      const std::string k = key_of(pick(300));
      if (retired.contains(k)) continue;
      const size_t len = pick(10) == 0 ? pick(5000) : pick(40);
      std::string v(len, static_cast<char>('a' + pick(26)));
      if (!v.empty()) v[0] = static_cast<char>(pick(256));  // hostile bytes inside
      const SeqNo s = dir.seqno.next();
      testing::put(*tree, k, v, s);
      events.push_back("put " + k + " " + std::to_string(s));
      model.history[k][s] = v;
      if (model.history[k].size() == 1) {
        written_once.insert(k);
      } else {
        written_once.erase(k);
      }
    } else if (kind < 65) {
      const std::string k = key_of(pick(300));
      if (retired.contains(k)) continue;
      const SeqNo s = dir.seqno.next();
      tree->remove(k, s);
      events.push_back("remove " + k + " " + std::to_string(s));
      model.history[k][s] = std::nullopt;
      written_once.erase(k);
    } else if (kind < 68 && !written_once.empty()) {
      // A weak deletion of a key written once; the key is not used again.
      auto it = written_once.begin();
      std::advance(it, pick(written_once.size()));
      const std::string k = *it;
      const SeqNo s = dir.seqno.next();
      tree->remove_weak(k, s);
      events.push_back("remove_weak " + k + " " + std::to_string(s));
      model.history[k][s] = std::nullopt;
      written_once.erase(it);
      retired.insert(k);
    } else if (kind < 71) {
      // An ingestion of a sorted batch: the memtables are flushed behind it.
      std::set<std::string> batch;
      for (uint64_t n = 1 + pick(30); n > 0; --n) {
        const std::string k = key_of(pick(300));
        if (!retired.contains(k)) batch.insert(k);
      }
      auto ing = Ingestion::create(*tree);
      ASSERT_TRUE(ing.ok()) << ing.error().to_string();
      std::vector<std::pair<std::string, std::string>> written;
      for (const std::string& k : batch) {
        std::string v(pick(60), static_cast<char>('A' + pick(26)));
        ASSERT_TRUE(ing->write(k, v).ok());
        written.emplace_back(k, std::move(v));
      }
      const SeqNo upto = dir.seqno.get() - 1;
      ASSERT_TRUE(std::move(*ing).finish().ok());
      if (written.empty()) continue;
      const SeqNo s = tree->latest_super_version().seqno;
      for (auto& [k, v] : written) {
        model.history[k][s] = v;
        if (model.history[k].size() == 1) {
          written_once.insert(k);
        } else {
          written_once.erase(k);
        }
      }
      events.push_back("# ingest " + std::to_string(written.size()) + " keys at " + std::to_string(s));
      sealed_upto = persisted_upto = std::max(upto, s);
    } else if (kind < 76) {
      if (tree->rotate_memtable()) sealed_upto = dir.seqno.get() - 1;
    } else if (kind < 83) {
      const SeqNo watermark = snapshots.empty() ? dir.seqno.get() : *snapshots.begin();
      auto guard = tree->lock_flush();
      const SeqNo upto = sealed_upto;
      auto r = tree->flush_sealed_memtables(watermark);
      ASSERT_TRUE(r.ok()) << r.error().to_string();
      if (r->has_value()) persisted_upto = std::max(persisted_upto, upto);
      events.push_back("# flush upto " + std::to_string(upto) + " watermark " + std::to_string(watermark));
    } else if (kind < 90) {
      if (snapshots.size() < 4) {
        // Lowered first, so that no compaction runs with a watermark above
        // a snapshot it must keep.
        watermark.store(std::min(watermark.load(), dir.seqno.get()));
        snapshots.insert(dir.seqno.get());
      }
    } else if (kind < 95) {
      if (!snapshots.empty()) snapshots.erase(std::next(snapshots.begin(), pick(snapshots.size())));
    } else if (kind < 96) {
      ASSERT_TRUE(tree->clear().ok());
      model.history.clear();
      events.push_back("# clear");
      written_once.clear();
      snapshots.clear();  // a clear is seen by every later read
      sealed_upto = persisted_upto = dir.seqno.get() - 1;
    } else if (kind < 98) {
      // Reopen, flushing first or not: the unflushed entries are lost.
      if (pick(2) == 0) {
        if (tree->rotate_memtable()) sealed_upto = dir.seqno.get() - 1;
        auto guard = tree->lock_flush();
        const SeqNo upto = sealed_upto;
        auto r = tree->flush_sealed_memtables(dir.seqno.get());
        ASSERT_TRUE(r.ok());
        if (r->has_value()) persisted_upto = std::max(persisted_upto, upto);
      }
      compactor.reset();
      tree.reset();
      tree = dir.open();
      expect_only_version_files(dir, *tree);
      events.push_back("# reopen, persisted " + std::to_string(persisted_upto));
      model.truncate_above(persisted_upto);
      snapshots.clear();
      if (auto h = tree->get_highest_persisted_seqno()) {
        dir.seqno.raise_to(*h + 1);
        dir.visible.raise_to(*h + 1);
      }
      written_once.clear();
      for (const auto& [k, versions] : model.history) {
        if (versions.size() == 1 && !retired.contains(k)) written_once.insert(k);
      }
      sealed_upto = persisted_upto;
      update_watermark();
      compactor.emplace(*tree, watermark);
    } else {
      auto st = tree->compact(strategy, watermark.load());
      ASSERT_TRUE(st.ok()) << st.error().to_string();
      events.push_back("# compaction watermark " + std::to_string(watermark.load()));
    }
    if (op % 100 == 0) {
      check("during the run");
      if (::testing::Test::HasFatalFailure()) return;
      check_scans("during the run");
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
  check("at the end");
  if (::testing::Test::HasFatalFailure()) return;
  check_scans("at the end");
  if (::testing::Test::HasFatalFailure()) return;
  compactor.reset();
  tree.reset();
  tree = dir.open();
  expect_only_version_files(dir, *tree);
}

TEST(TreeModel, RandomOperationsMatchTheModel) {
  for (uint64_t seed : {1, 2, 3}) {
    run_model(seed);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace tervik
