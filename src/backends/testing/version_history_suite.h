// The version-history suite, shared by every KvService implementation: a
// test file instantiates it with a factory of its service over a counting
// backend. Test-only.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "src/backends/in_memory_backend.h"
#include "src/record/kv_service.h"
#include "src/record/version_history.h"

namespace zv::testing {

// Counts the backend calls version history makes.
class CountingBackend final : public StorageBackend {
 public:
  ZolvaResult<std::vector<KvPair>> scan_all(Partition p) override { return inner.scan_all(p); }
  ZolvaResult<std::unique_ptr<PrefixIter>> prefix_iter(Partition p, std::string_view pre) override {
    ++scans;
    return inner.prefix_iter(p, pre);
  }
  ZolvaStatus put(Partition p, std::string_view k, std::string_view v) override {
    return inner.put(p, k, v);
  }
  ZolvaResult<std::optional<std::string>> get(Partition p, std::string_view k) override {
    return inner.get(p, k);
  }
  ZolvaResult<std::vector<KvPair>> multi_get(Partition p, std::span<const std::string> k) override {
    return inner.multi_get(p, k);
  }
  ZolvaStatus del(Partition p, std::string_view k) override { return inner.del(p, k); }
  ZolvaStatus write_batch(std::vector<BatchOp> ops) override {
    ++batches;
    return inner.write_batch(std::move(ops));
  }
  ZolvaStatus flush() override { return {}; }
  uint64_t limit_hint() const override { return inner.limit_hint(); }

  InMemoryBackend inner;
  int scans = 0;
  int batches = 0;
};

inline MemoryRecord rec(std::string ns, std::string key, uint64_t version) {
  MemoryRecord r;
  r.ns = std::move(ns);
  r.key = std::move(key);
  r.version = version;
  r.payload = "v" + std::to_string(version);
  return r;
}

// Builds the KvService under test over a backend, writable or read-only.
using KvServiceFactory =
    std::function<std::shared_ptr<KvService>(std::shared_ptr<StorageBackend>, bool read_only)>;

class VersionHistoryTest : public ::testing::TestWithParam<KvServiceFactory> {
 protected:
  std::vector<uint64_t> versions(std::string_view ns, std::string_view key) {
    std::vector<uint64_t> out;
    auto pairs = backend->scan_prefix(Partition::kVersions, version_prefix(ns, key));
    EXPECT_TRUE(pairs.ok());
    for (const KvPair& p : pairs.value()) {
      EXPECT_EQ(p.key.size(), ns.size() + key.size() + 16);
      uint64_t v = 0;
      for (size_t i = p.key.size() - 8; i < p.key.size(); ++i)
        v = (v << 8) | static_cast<uint8_t>(p.key[i]);
      out.push_back(v);
    }
    return out;
  }
  std::shared_ptr<CountingBackend> backend = std::make_shared<CountingBackend>();
  std::shared_ptr<KvService> kv_ptr = GetParam()(backend, false);
  KvService& kv = *kv_ptr;
};

TEST_P(VersionHistoryTest, KeyLayout) {
  EXPECT_EQ(version_key("ns", "k", 1),
            std::string("\x02\x00\x00\x00ns\x01\x00\x00\x00k\x00\x00\x00\x00\x00\x00\x00\x01", 19));
  EXPECT_NE(version_prefix("a", "bc"), version_prefix("ab", "c"));
  EXPECT_LT(version_key("n", "k", 255), version_key("n", "k", 256));
}

TEST_P(VersionHistoryTest, RecordAndPrune) {
  for (uint64_t v = 1; v <= 5; ++v) ASSERT_TRUE(record_version(kv, rec("n", "k", v), 3).ok());
  EXPECT_EQ(versions("n", "k"), (std::vector<uint64_t>{3, 4, 5}));
  // The stored value is the record's binary form.
  auto stored = backend->get(Partition::kVersions, version_key("n", "k", 5));
  EXPECT_EQ(stored.value(), rec("n", "k", 5).encode_binary());

  // Re-recording a version replaces it.
  ASSERT_TRUE(record_version(kv, rec("n", "k", 5), 3).ok());
  EXPECT_EQ(versions("n", "k"), (std::vector<uint64_t>{3, 4, 5}));

  // Big-endian versions: 255 is older than 256 and is pruned first.
  ASSERT_TRUE(record_version(kv, rec("n", "big", 256), std::nullopt).ok());
  ASSERT_TRUE(record_version(kv, rec("n", "big", 255), 1).ok());
  EXPECT_EQ(versions("n", "big"), (std::vector<uint64_t>{256}));

  // Limit 0 drops everything, the new version included.
  ASSERT_TRUE(record_version(kv, rec("n", "zero", 1), 0).ok());
  EXPECT_TRUE(versions("n", "zero").empty());
}

TEST_P(VersionHistoryTest, HistoriesOfLookalikeRecordsStaySeparate) {
  for (uint64_t v = 1; v <= 3; ++v) {
    ASSERT_TRUE(record_version(kv, rec("a", "bc", v), 2).ok());
    ASSERT_TRUE(record_version(kv, rec("ab", "c", v * 10), 2).ok());
  }
  EXPECT_EQ(versions("a", "bc"), (std::vector<uint64_t>{2, 3}));
  EXPECT_EQ(versions("ab", "c"), (std::vector<uint64_t>{20, 30}));
  ASSERT_TRUE(delete_versions(kv, "a", "bc").ok());
  EXPECT_TRUE(versions("a", "bc").empty());
  EXPECT_EQ(versions("ab", "c"), (std::vector<uint64_t>{20, 30}));
}

TEST_P(VersionHistoryTest, NoLimitNeverScansAndEmptyDeleteWritesNothing) {
  for (uint64_t v = 1; v <= 4; ++v)
    ASSERT_TRUE(record_version(kv, rec("n", "k", v), std::nullopt).ok());
  EXPECT_EQ(backend->scans, 0);
  EXPECT_EQ(versions("n", "k").size(), 4u);
  const int batches = backend->batches;
  ASSERT_TRUE(delete_versions(kv, "n", "none").ok());
  EXPECT_EQ(backend->batches, batches);
  ASSERT_TRUE(prune_versions(kv, "n", "k", 4).ok());
  EXPECT_EQ(backend->batches, batches);
}

TEST_P(VersionHistoryTest, ReadOnlyRefusesWritesButScans) {
  ASSERT_TRUE(record_version(kv, rec("n", "k", 1), std::nullopt).ok());
  std::shared_ptr<KvService> ro_ptr = GetParam()(backend, true);
  KvService& ro = *ro_ptr;
  const std::string refusal =
      "Validation error on read_only: StorageEngine is read-only; write operation rejected";
  auto put = record_version(ro, rec("n", "k", 2), 5);
  ASSERT_FALSE(put.ok());
  EXPECT_EQ(put.error().message(), refusal);
  auto del = delete_versions(ro, "n", "k");
  ASSERT_FALSE(del.ok());
  EXPECT_EQ(del.error().message(), refusal);
  EXPECT_TRUE(prune_versions(ro, "n", "k", 5).ok());  // nothing to drop: scan only
  EXPECT_EQ(versions("n", "k"), (std::vector<uint64_t>{1}));
}

}  // namespace zv::testing
