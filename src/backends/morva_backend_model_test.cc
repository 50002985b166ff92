// The backend against a model: random puts, deletes and batches over several
// partitions (the same key twice in one batch, the last operation deciding),
// with the backend dropped and opened again now and then; point reads,
// multi_get and scans are checked against the model, and prefix iterators
// made earlier against the model as it was when they were made.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "morva/src/testing/test_db.h"
#include "platform/testing/temp_dir.h"
#include "src/backends/morva_backend.h"

namespace zv {
namespace {

constexpr Partition kParts[] = {Partition::kDefault, Partition::kPayloadIndex, Partition::kVersions};
using PartModel = std::map<std::string, std::string>;

std::vector<KvPair> pairs_with_prefix(const PartModel& m, const std::string& prefix) {
  std::vector<KvPair> out;
  for (auto it = m.lower_bound(prefix); it != m.end() && it->first.starts_with(prefix); ++it)
    out.push_back({it->first, it->second});
  return out;
}

std::vector<KvPair> drain(PrefixIter& it) {
  std::vector<KvPair> out;
  while (auto item = it.next()) {
    EXPECT_TRUE(item->ok());
    if (!item->ok()) break;
    out.push_back(std::move(*item).value());
  }
  return out;
}

// A held iterator and what it must yield.
struct HeldScan {
  std::unique_ptr<PrefixIter> iter;
  std::vector<KvPair> expected;
};

std::shared_ptr<MorvaBackend> open_small(const std::string& dir) {
  morva::DatabaseConfig c = morva::testing::small_config(dir, 2);
  morva::testing::with_memtable_limit(c, 4 << 10);
  auto b = MorvaBackend::open_with(std::move(c));
  EXPECT_TRUE(b.ok()) << (b.ok() ? "" : b.error().message());
  return b.ok() ? std::move(b).value() : nullptr;
}

TEST(MorvaBackendModel, RandomOperationsMatchTheModelAcrossReopens) {
  for (uint64_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    zv::testing::TempDir dir;
    std::mt19937_64 rng(seed);
    std::map<Partition, PartModel> model;
    std::shared_ptr<MorvaBackend> b = open_small(dir.path());
    ASSERT_NE(b, nullptr);
    std::vector<HeldScan> held;
    // Keys share prefixes so that scans cut through them; bytes 0x00 and
    // 0xFF are in the alphabet.
    auto key = [&] {
      static const char alphabet[] = {'a', 'b', '\0', '\xFF'};
      std::string k(1 + rng() % 4, 'a');
      for (char& c : k) c = alphabet[rng() % 4];
      return k;
    };
    auto part = [&] { return kParts[rng() % 3]; };
    for (int step = 0; step < 1500; ++step) {
      const uint64_t r = rng() % 100;
      if (r < 40) {
        const Partition p = part();
        const std::string k = key(), v = "v" + std::to_string(step) + std::string(rng() % 200, 'x');
        ASSERT_TRUE(b->put(p, k, v).ok());
        model[p][k] = v;
      } else if (r < 55) {
        const Partition p = part();
        const std::string k = key();
        ASSERT_TRUE(b->del(p, k).ok());
        model[p].erase(k);
      } else if (r < 75) {
        std::vector<BatchOp> ops;
        const int n = 1 + int(rng() % 6);
        for (int i = 0; i < n; ++i) {
          const Partition p = part();
          const std::string k = key();
          ops.push_back(rng() % 3 ? BatchOp::put(p, k, "b" + std::to_string(step) + ":" + std::to_string(i))
                                  : BatchOp::del(p, k));
          if (rng() % 4 == 0) ops.push_back(BatchOp::put(p, k, "again" + std::to_string(step)));
        }
        for (const BatchOp& op : ops) {
          if (op.kind == BatchOp::Kind::kPut) {
            model[op.partition][op.key] = op.value;
          } else {
            model[op.partition].erase(op.key);
          }
        }
        ASSERT_TRUE(b->write_batch(std::move(ops)).ok());
      } else if (r < 82) {
        const Partition p = part();
        const std::string prefix = key().substr(0, rng() % 3);
        auto it = b->prefix_iter(p, prefix);
        ASSERT_TRUE(it.ok());
        held.push_back({std::move(it).value(), pairs_with_prefix(model[p], prefix)});
      } else if (r < 90 && !held.empty()) {
        HeldScan scan = std::move(held.back());
        held.pop_back();
        ASSERT_EQ(drain(*scan.iter), scan.expected) << "step " << step;
      } else if (r < 97) {
        const Partition p = part();
        std::vector<std::string> keys;
        std::vector<KvPair> expected;
        for (int i = 0; i < 4; ++i) {
          keys.push_back(key());
          if (auto it = model[p].find(keys.back()); it != model[p].end()) expected.push_back({it->first, it->second});
        }
        ASSERT_EQ(b->multi_get(p, keys).value(), expected) << "step " << step;
        ASSERT_EQ(b->get(p, keys[0]).value(),
                  model[p].count(keys[0]) ? std::optional<std::string>(model[p][keys[0]]) : std::nullopt);
      } else if (r < 99) {
        const Partition p = part();
        ASSERT_EQ(b->scan_all(p).value(), pairs_with_prefix(model[p], "")) << "step " << step;
      } else {
        // Held iterators keep reading their own state past a reopen.
        b.reset();
        b = open_small(dir.path());
        ASSERT_NE(b, nullptr) << "step " << step;
        for (Partition p : kParts) {
          const std::vector<KvPair> expected = pairs_with_prefix(model[p], "");
          ASSERT_EQ(b->scan_all(p).value(), expected) << "step " << step;
        }
      }
    }
    for (HeldScan& scan : held) EXPECT_EQ(drain(*scan.iter), scan.expected);
    for (Partition p : kParts) EXPECT_EQ(b->scan_all(p).value(), pairs_with_prefix(model[p], ""));
  }
}

}  // namespace
}  // namespace zv
