#include "src/text/text_stats_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>

#include "src/backends/in_memory_backend.h"
#include "src/text/text_keys.h"

namespace zv::text {
namespace {

using namespace std::string_literals;

// An in-memory backend that counts point reads, can fail them, and can run a
// hook after a read has taken its value (to interleave an upkeep with it).
class ProbeBackend final : public StorageBackend {
 public:
  ZolvaResult<std::vector<KvPair>> scan_all(Partition p) override { return inner.scan_all(p); }
  ZolvaResult<std::unique_ptr<PrefixIter>> prefix_iter(Partition p,
                                                      std::string_view prefix) override {
    return inner.prefix_iter(p, prefix);
  }
  ZolvaStatus put(Partition p, std::string_view k, std::string_view v) override {
    return inner.put(p, k, v);
  }
  ZolvaResult<std::optional<std::string>> get(Partition p, std::string_view k) override {
    ++gets;
    if (fail) return make_unexpected(ZolvaError::backend("probe failure"));
    auto r = inner.get(p, k);
    if (after_get) {
      auto hook = std::move(after_get);
      after_get = nullptr;
      hook();
    }
    return r;
  }
  ZolvaResult<std::vector<KvPair>> multi_get(Partition p,
                                             std::span<const std::string> keys) override {
    return inner.multi_get(p, keys);
  }
  ZolvaStatus del(Partition p, std::string_view k) override { return inner.del(p, k); }
  ZolvaStatus write_batch(std::vector<BatchOp> ops) override {
    return inner.write_batch(std::move(ops));
  }
  ZolvaStatus flush() override { return {}; }
  uint64_t limit_hint() const override { return inner.limit_hint(); }

  InMemoryBackend inner;
  int gets = 0;
  bool fail = false;
  std::function<void()> after_get;
};

class TextStatsCacheTest : public ::testing::Test {
 protected:
  // Writes the batch, then runs the upkeep, as a record change does.
  void apply(std::vector<BatchOp> ops) {
    ASSERT_TRUE(backend.write_batch(ops).ok());
    refresh_stats_caches(caches, ops);
  }
  static BatchOp term_put(std::string_view ns, std::string_view token, uint64_t df) {
    return BatchOp::put(Partition::kTextIndex, term_stats_key(ns, token), encode_term_stats(df));
  }
  static BatchOp ns_put(std::string_view ns, uint64_t count, uint64_t len) {
    return BatchOp::put(Partition::kTextIndex, namespace_stats_key(ns),
                        encode_namespace_stats(count, len));
  }

  ProbeBackend backend;
  TextStatsCaches caches;
};

TEST_F(TextStatsCacheTest, MissReadsBackendAndCachesPresentValuesOnly) {
  auto none = text_term_stats(backend, caches, "n", "t");
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none->has_value());
  EXPECT_EQ(caches.term.size(), 0u);
  ASSERT_TRUE(text_term_stats(backend, caches, "n", "t").ok());
  EXPECT_EQ(backend.gets, 2);  // absence is asked again

  ASSERT_TRUE(backend.put(Partition::kTextIndex, term_stats_key("n", "t"), encode_term_stats(4)).ok());
  EXPECT_EQ(**text_term_stats(backend, caches, "n", "t"), 4u);
  EXPECT_EQ(**text_term_stats(backend, caches, "n", "t"), 4u);
  EXPECT_EQ(backend.gets, 3);  // the second came from the cache

  ASSERT_TRUE(backend.put(Partition::kTextIndex, namespace_stats_key("n"),
                          encode_namespace_stats(2, 9)).ok());
  EXPECT_EQ(**text_namespace_stats(backend, caches, "n"), (TextNamespaceStats{2, 9}));
  EXPECT_EQ(**text_namespace_stats(backend, caches, "n"), (TextNamespaceStats{2, 9}));
  EXPECT_EQ(backend.gets, 4);
  EXPECT_FALSE(text_namespace_stats(backend, caches, "other")->has_value());

  ASSERT_TRUE(backend.put(Partition::kTextIndex, doc_stats_key("n", "k"), encode_doc_stats(7, 3)).ok());
  EXPECT_EQ(**text_doc_stats(backend, "n", "k"), (TextDocStats{7, 3}));
  EXPECT_FALSE(text_doc_stats(backend, "n", "missing")->has_value());
}

TEST_F(TextStatsCacheTest, ReaderErrors) {
  ASSERT_TRUE(backend.put(Partition::kTextIndex, term_stats_key("n", "t"), "").ok());
  ASSERT_TRUE(backend.put(Partition::kTextIndex, namespace_stats_key("n"), "\x01"s).ok());
  ASSERT_TRUE(backend.put(Partition::kTextIndex, doc_stats_key("n", "k"), "\x80"s).ok());
  const std::string kEnd = "Hit the end of buffer, expected more data";
  auto t = text_term_stats(backend, caches, "n", "t");
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(t.error().message(),
            "Serialization error: Serialization error: text term stats decode error: " + kEnd);
  auto n = text_namespace_stats(backend, caches, "n");
  ASSERT_FALSE(n.ok());
  EXPECT_EQ(n.error().message(),
            "Serialization error: Serialization error: text namespace stats decode error: " + kEnd);
  auto d = text_doc_stats(backend, "n", "k");
  ASSERT_FALSE(d.ok());
  EXPECT_EQ(d.error().message(),
            "Serialization error: Serialization error: text doc stats decode error: " + kEnd);
  EXPECT_EQ(caches.term.size() + caches.ns.size(), 0u);

  backend.fail = true;  // a backend error comes back unchanged
  auto f = text_term_stats(backend, caches, "n", "x");
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.error().kind(), ZolvaErrorKind::kBackend);
  EXPECT_EQ(f.error().message(), "Backend error: probe failure");
}

TEST_F(TextStatsCacheTest, UpkeepForEveryOperationKind) {
  apply({term_put("n", "a", 3), ns_put("n", 1, 5),
         BatchOp::put(Partition::kTextIndex, posting_key("n", "a", "k"), "\x01\x01\x01\x00"s),
         BatchOp::put(Partition::kTextIndex, doc_stats_key("n", "k"), encode_doc_stats(1, 5)),
         // Another partition with a term-statistics-looking key is not the index.
         BatchOp::put(Partition::kDefault, term_stats_key("n", "z"), encode_term_stats(1))});
  EXPECT_EQ(caches.term.peek(term_cache_key("n", "a")), 3u);
  EXPECT_EQ(caches.ns.peek("n"), (TextNamespaceStats{1, 5}));
  EXPECT_EQ(caches.term.size(), 1u);
  EXPECT_EQ(caches.ns.size(), 1u);

  // Batch order decides; an undecodable put is skipped, leaving the entry.
  apply({term_put("n", "a", 4), term_put("n", "a", 6),
         BatchOp::put(Partition::kTextIndex, term_stats_key("n", "b"), ""),
         BatchOp::put(Partition::kTextIndex, namespace_stats_key("n"), "\x02"s)});
  EXPECT_EQ(caches.term.peek(term_cache_key("n", "a")), 6u);
  EXPECT_EQ(caches.term.peek(term_cache_key("n", "b")), std::nullopt);
  EXPECT_EQ(caches.ns.peek("n"), (TextNamespaceStats{1, 5}));

  // Deletes remove; a later read asks the backend and finds nothing.
  apply({BatchOp::del(Partition::kTextIndex, term_stats_key("n", "a")),
         BatchOp::del(Partition::kTextIndex, namespace_stats_key("n"))});
  EXPECT_EQ(caches.term.size(), 0u);
  EXPECT_EQ(caches.ns.size(), 0u);
  const int before = backend.gets;
  EXPECT_FALSE(text_term_stats(backend, caches, "n", "a")->has_value());
  EXPECT_EQ(backend.gets, before + 1);
}

TEST_F(TextStatsCacheTest, HalvingBoundsBothCaches) {
  std::vector<BatchOp> ops;
  for (int i = 0; i < 100001; ++i) ops.push_back(term_put("n", "t" + std::to_string(i), 1));
  refresh_stats_caches(caches, ops);
  EXPECT_EQ(caches.term.size(), 50001u);

  ops.clear();
  for (int i = 0; i < 1000; ++i) ops.push_back(ns_put("n" + std::to_string(i), 1, 1));
  refresh_stats_caches(caches, ops);
  EXPECT_EQ(caches.ns.size(), 1000u);
  refresh_stats_caches(caches, std::vector<BatchOp>{ns_put("extra", 1, 1)});
  EXPECT_EQ(caches.ns.size(), 501u);
}

TEST_F(TextStatsCacheTest, ReaderDoesNotOverwriteANewerUpkeepValue) {
  ASSERT_TRUE(backend.put(Partition::kTextIndex, term_stats_key("n", "t"), encode_term_stats(1)).ok());
  // While the reader holds df 1 from the backend, a batch moves it to 2 and
  // its upkeep runs; the reader must not put the old 1 back into the cache.
  backend.after_get = [&] { apply({term_put("n", "t", 2)}); };
  EXPECT_EQ(**text_term_stats(backend, caches, "n", "t"), 1u);
  EXPECT_EQ(caches.term.peek(term_cache_key("n", "t")), 2u);
  EXPECT_EQ(**text_term_stats(backend, caches, "n", "t"), 2u);

  ASSERT_TRUE(backend.put(Partition::kTextIndex, namespace_stats_key("n"),
                          encode_namespace_stats(1, 1)).ok());
  backend.after_get = [&] { apply({BatchOp::del(Partition::kTextIndex, namespace_stats_key("n"))}); };
  EXPECT_EQ(**text_namespace_stats(backend, caches, "n"), (TextNamespaceStats{1, 1}));
  EXPECT_EQ(caches.ns.size(), 0u);
  EXPECT_FALSE(text_namespace_stats(backend, caches, "n")->has_value());

  // Clearing the caches (a full rebuild) also invalidates a read in flight.
  backend.after_get = [&] { caches.clear(); };
  ASSERT_TRUE(backend.put(Partition::kTextIndex, term_stats_key("n", "u"), encode_term_stats(5)).ok());
  EXPECT_EQ(**text_term_stats(backend, caches, "n", "u"), 5u);
  EXPECT_EQ(caches.term.size(), 0u);
}

}  // namespace
}  // namespace zv::text
