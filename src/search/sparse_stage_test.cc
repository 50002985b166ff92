#include "src/search/sparse_stage.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <map>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "src/search/hit_order.h"
#include "src/search/ranked_reads.h"
#include "src/search/testing/hits.h"
#include "src/search/testing/vector_records.h"
#include "src/text/sparse_index.h"

namespace zv::search {
namespace {

using search_testing::fields;
using search_testing::keys_of;
using search_testing::RecordFixture;
using search_testing::vector_record;

NodeId put_sparse(RecordFixture& f, std::string ns, std::string key, SparseVector sv,
                  FieldMap metadata = {}) {
  MemoryRecord r = vector_record(std::move(ns), std::move(key), std::nullopt, std::move(metadata));
  r.sparse_vector = std::move(sv);
  return f.put(std::move(r));
}

std::vector<SearchHit> run(RecordFixture& f, std::string_view ns, const SparseVector& q,
                           uint64_t c = 100, const FieldMap& filters = {}) {
  auto r = sparse_candidates(f.engine(), ns, q, filters, c);
  EXPECT_TRUE(r.ok()) << r.error().message();
  return r.ok() ? std::move(*r) : std::vector<SearchHit>{};
}

TEST(SparseStage, ScoresAndOrder) {
  RecordFixture f;
  put_sparse(f, "ns", "r1", {{7, 2.0f}, {9, 1.0f}});
  put_sparse(f, "ns", "r2", {{9, 5.0f}});
  auto hits = run(f, "ns", {{7, 1.5f}});
  ASSERT_EQ(keys_of(hits), std::vector<std::string>{"r1"});
  EXPECT_EQ(hits[0].score, 3.0f);

  put_sparse(f, "ns", "half", {{1, 0.5f}, {2, 0.5f}});
  put_sparse(f, "ns", "one", {{1, 0.9f}});
  hits = run(f, "ns", {{1, 1.0f}, {2, 1.0f}});
  EXPECT_EQ(keys_of(hits), (std::vector<std::string>{"half", "one"}));
  EXPECT_EQ(hits[0].score, 1.0f);
  EXPECT_EQ(hits[1].score, 0.9f);

  // Equal scores by key; negative and zero sums are hits; c cuts.
  put_sparse(f, "t", "b", {{3, 1.0f}});
  put_sparse(f, "t", "a", {{3, 1.0f}});
  put_sparse(f, "t", "zero", {{3, 0.0f}});
  put_sparse(f, "t", "neg", {{3, -2.0f}});
  put_sparse(f, "t", "top", {{3, 4.0f}});
  EXPECT_EQ(keys_of(run(f, "t", {{3, 1.0f}})),
            (std::vector<std::string>{"top", "a", "b", "zero", "neg"}));
  EXPECT_EQ(keys_of(run(f, "t", {{3, 1.0f}}, 2)), (std::vector<std::string>{"top", "a"}));
  // A filter nothing satisfies.
  EXPECT_TRUE(run(f, "t", {{3, 1.0f}}, 10, fields("color", FieldValue::string("red"))).empty());
  // Namespace "a" reads no posting of namespace "ab".
  put_sparse(f, "ab", "x", {{3, 1.0f}});
  put_sparse(f, "a", "y", {{3, 1.0f}});
  EXPECT_EQ(keys_of(run(f, "a", {{3, 1.0f}})), std::vector<std::string>{"y"});
}

TEST(SparseStage, UndecodablePostingFails) {
  RecordFixture f;
  put_sparse(f, "ns", "r1", {{7, 2.0f}});
  std::string only_id;
  only_id.push_back(5);  // a varint node id and nothing after it
  ASSERT_TRUE(f.engine().backend->put(Partition::kSparseIndex, text::sparse_posting_key("ns", 7, "r0"),
                                      only_id).ok());
  auto r = sparse_candidates(f.engine(), "ns", {{7, 1.0f}}, {}, 10);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(),
            "Serialization error: sparse posting decode error: Hit the end of buffer, expected more data");
}

TEST(SparseStage, EmptyQueryTakesNoEngine) {
  EngineSource closed = []() -> ZolvaResult<std::shared_ptr<StorageEngine>> {
    return make_unexpected(ZolvaError::not_initialized());
  };
  auto r = sparse_candidates(closed, "ns", {}, {}, 10);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->empty());
  EXPECT_FALSE(sparse_candidates(closed, "ns", {{1, 1.0f}}, {}, 10).ok());
}

// The model of reading every scored record in id order, then sorting.
std::vector<SearchHit> read_everything(RecordFixture& f, std::string_view ns,
                                       const SparseVector& q, const FieldMap& filters,
                                       uint64_t c) {
  std::map<NodeId, float> scores;
  for (const auto& [dim, w] : q) {
    auto pairs = f.engine().backend->scan_prefix(Partition::kSparseIndex,
                                                 text::sparse_posting_prefix(ns, dim));
    EXPECT_TRUE(pairs.ok());
    for (const KvPair& kv : *pairs) {
      auto p = text::decode_sparse_posting(kv.value);
      EXPECT_TRUE(p.ok());
      auto [it, inserted] = scores.try_emplace(p->node_id, w * p->weight);
      if (!inserted) it->second = it->second + w * p->weight;
    }
  }
  std::vector<std::pair<NodeId, float>> by_id(scores.begin(), scores.end());
  auto hits = read_all_then_rank(f.engine(), ns, filters, c, by_id);
  EXPECT_TRUE(hits.ok());
  return hits.ok() ? std::move(*hits) : std::vector<SearchHit>{};
}

TEST(SparseStage, RankingBeforeReadingMatchesReadingAll) {
  for (uint32_t seed = 1; seed <= 5; ++seed) {
    RecordFixture f;
    std::mt19937 rng(seed);
    std::vector<NodeId> ids;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int i = 0; i < 150; ++i) {
      SparseVector sv;
      for (int k = 0; k < 4; ++k) {
        // Few distinct weights, so that ties are common.
        float w = float(int(rng() % 5) - 1) * 0.5f;
        if (seed == 5 && rng() % 60 == 0) w = nan;
        sv[rng() % 12] = w;
      }
      ids.push_back(put_sparse(f, rng() % 4 ? "a" : "b", "k" + std::to_string(rng() % 1000), sv,
                               fields("even", FieldValue::boolean(i % 2 == 0))));
    }
    for (int i = 0; i < 8; ++i) f.delete_node(ids[rng() % ids.size()]);
    for (uint64_t c : {1u, 5u, 20u, 500u}) {
      SparseVector q;
      for (int k = 0; k < 3; ++k) q[rng() % 12] = float(int(rng() % 7) - 2);
      for (const FieldMap& filters : {FieldMap{}, fields("even", FieldValue::boolean(true))}) {
        auto got = run(f, "a", q, c, filters);
        auto want = read_everything(f, "a", q, filters, c);
        ASSERT_EQ(keys_of(got), keys_of(want)) << seed << " c=" << c;
        for (size_t i = 0; i < got.size(); ++i) {
          EXPECT_EQ(std::bit_cast<uint32_t>(got[i].score), std::bit_cast<uint32_t>(want[i].score));
        }
      }
    }
  }
}

}  // namespace
}  // namespace zv::search
