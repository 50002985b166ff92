// The contract every StorageBackend meets, as typed GoogleTest suites that a
// backend's own test files instantiate with a factory type (see below). The
// factory lives as long as the fixture (it may own a temporary directory); the
// concurrency suite belongs in a *_concurrent_test.cc file so that the
// ThreadSanitizer build runs it. Test-only; each fixture owns its backend.
#pragma once

// Usage:
//   struct MyFactory { std::shared_ptr<StorageBackend> make(); };
//   INSTANTIATE_TYPED_TEST_SUITE_P(My, BackendContractTest, MyFactory);
//   INSTANTIATE_TYPED_TEST_SUITE_P(My, BackendConcurrencyTest, MyFactory);
// A factory that can open its folder again adds `reopen()` and may
// instantiate BackendReopenTest; one that refuses some key lengths declares
// kMinKeyLength and kMaxKeyLength.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "src/backends/storage_backend.h"

namespace zv::testing_contract {

inline std::vector<KvPair> must(ZolvaResult<std::vector<KvPair>> r) {
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? std::move(r).value() : std::vector<KvPair>{};
}

inline void must_ok(const ZolvaStatus& s) {
  EXPECT_TRUE(s.ok()) << (s.ok() ? "" : s.error().message());
}

inline std::optional<std::string> must_get(StorageBackend& b, Partition p, std::string_view k) {
  auto r = b.get(p, k);
  EXPECT_TRUE(r.ok());
  return r.ok() ? std::move(r).value() : std::nullopt;
}

inline std::vector<std::string> keys_of(const std::vector<KvPair>& pairs) {
  std::vector<std::string> out;
  for (const KvPair& p : pairs) out.push_back(p.key);
  return out;
}

// The key lengths a factory's backend stores; a factory declares
// `static constexpr size_t kMinKeyLength, kMaxKeyLength` when it refuses some
// (with an Io error, writing nothing). Without them every length is stored.
template <class Factory>
bool stores_key_length(size_t n) {
  if constexpr (requires { Factory::kMinKeyLength; Factory::kMaxKeyLength; }) {
    return n >= Factory::kMinKeyLength && n <= Factory::kMaxKeyLength;
  } else {
    return true;
  }
}

// A put that must succeed when the backend stores keys of this length and be
// refused with Io otherwise.
template <class Factory>
void put_in_range(StorageBackend& b, Partition p, std::string_view key, std::string_view value) {
  auto st = b.put(p, key, value);
  if (stores_key_length<Factory>(key.size())) {
    EXPECT_TRUE(st.ok()) << (st.ok() ? "" : st.error().message());
  } else {
    ASSERT_FALSE(st.ok()) << "key of " << key.size() << " bytes accepted";
    EXPECT_TRUE(st.error().is(ZolvaErrorKind::kIo)) << st.error().message();
  }
}

template <class Factory>
class BackendContractTest : public ::testing::Test {
 public:
  void SetUp() override { backend_ = factory_.make(); }
  StorageBackend& b() { return *backend_; }
  // Runs between the writes and the reads of a case: nothing here; the
  // reopen suite drops the backend and opens it again.
  virtual void settle() {}

  Factory factory_;
  std::shared_ptr<StorageBackend> backend_;
};

// The cases that write and then read, shared by the plain and the reopen
// suite; `t.settle()` separates their writes from their reads.
template <class Factory>
void check_put_get_delete(BackendContractTest<Factory>& t) {
  const Partition p0 = Partition::kDefault, p9 = Partition::kVersions;
  const std::string binary_key("\x00\xFF\x00", 3), binary_value("\xFF\x00", 2);
  {
    StorageBackend& b = t.b();
    must_ok(b.put(p0, "k", "v1"));
    must_ok(b.put(p9, "k", "other"));
    must_ok(b.put(p0, "k", "v2"));
    put_in_range<Factory>(b, p0, "", "");
    must_ok(b.put(p9, "gone", "x"));
    must_ok(b.del(p9, "gone"));
    must_ok(b.del(p9, "never there"));
    must_ok(b.put(p0, binary_key, binary_value));
    must_ok(b.put(p9, "empty", ""));
  }
  t.settle();
  StorageBackend& b = t.b();
  EXPECT_EQ(must_get(b, p0, "k"), "v2");
  EXPECT_EQ(must_get(b, p9, "k"), "other");
  EXPECT_EQ(must_get(b, p9, "empty"), "");
  EXPECT_EQ(must_get(b, p0, "absent"), std::nullopt);
  EXPECT_EQ(must_get(b, p9, "gone"), std::nullopt);
  EXPECT_EQ(must_get(b, p0, binary_key), binary_value);
  std::vector<KvPair> expected_p0 = {{binary_key, binary_value}, {"k", "v2"}};
  if (stores_key_length<Factory>(0)) {
    EXPECT_EQ(must_get(b, p0, ""), "");
    expected_p0.insert(expected_p0.begin(), KvPair{"", ""});
  }
  EXPECT_EQ(must(b.scan_all(p0)), expected_p0);
  EXPECT_EQ(must(b.scan_all(p9)), (std::vector<KvPair>{{"empty", ""}, {"k", "other"}}));
  must_ok(b.flush());
}

template <class Factory>
void check_scan_order(BackendContractTest<Factory>& t) {
  const Partition p = Partition::kTextIndex;
  for (std::string k : {"b", "a\xFF", "a", "ab", "a\x01", "\x80", "", "abc", "ac"})
    put_in_range<Factory>(t.b(), p, k, "v:" + k);
  must_ok(t.b().put(Partition::kSparseIndex, "aa", "elsewhere"));
  t.settle();
  StorageBackend& b = t.b();
  std::vector<std::string> all = {"a", "a\x01", "ab", "abc", "ac", "a\xFF", "b", "\x80"};
  if (stores_key_length<Factory>(0)) all.insert(all.begin(), "");
  EXPECT_EQ(keys_of(must(b.scan_all(p))), all);
  EXPECT_EQ(keys_of(must(b.scan_prefix(p, ""))), all);
  EXPECT_EQ(keys_of(must(b.scan_prefix(p, "a"))),
            (std::vector<std::string>{"a", "a\x01", "ab", "abc", "ac", "a\xFF"}));
  EXPECT_EQ(keys_of(must(b.scan_prefix(p, "ab"))), (std::vector<std::string>{"ab", "abc"}));
  EXPECT_TRUE(must(b.scan_prefix(p, "zz")).empty());
  EXPECT_EQ(must(b.scan_prefix(p, "abc")), (std::vector<KvPair>{{"abc", "v:abc"}}));

  // The iterator is the caller's; writes after it was made do not block it.
  auto it = b.prefix_iter(p, "a");
  ASSERT_TRUE(it.ok());
  must_ok(b.put(p, "a0", "later"));
  size_t n = 0;
  while (auto item = it.value()->next()) {
    ASSERT_TRUE(item->ok());
    ++n;
  }
  EXPECT_GE(n, 6u);

  // Read in place, the pairs are next()'s, whatever is written meanwhile.
  const std::vector<KvPair> before = must(b.scan_prefix(p, "a"));
  auto viewed = b.prefix_iter(p, "a");
  ASSERT_TRUE(viewed.ok());
  std::vector<KvPair> seen;
  while (auto item = viewed.value()->next_view()) {
    ASSERT_TRUE(item->ok());
    seen.push_back(KvPair{std::string((*item)->key), std::string((*item)->value)});
    must_ok(b.put(p, "ab", std::string(300, 'w')));
    must_ok(b.del(p, "abc"));
  }
  EXPECT_EQ(seen.size(), before.size());
  for (size_t i = 0; i < std::min(seen.size(), before.size()); ++i) {
    EXPECT_EQ(seen[i].key, before[i].key) << i;
    if (seen[i].key != "ab" && seen[i].key != "abc") {
      EXPECT_EQ(seen[i].value, before[i].value) << i;
    }
  }
}

template <class Factory>
void check_multi_get(BackendContractTest<Factory>& t) {
  const Partition p = Partition::kDefault;
  must_ok(t.b().put(p, "x", "1"));
  must_ok(t.b().put(p, "y", "2"));
  t.settle();
  StorageBackend& b = t.b();
  const std::vector<std::string> keys = {"y", "missing", "x", "y"};
  EXPECT_EQ(must(b.multi_get(p, keys)), (std::vector<KvPair>{{"y", "2"}, {"x", "1"}, {"y", "2"}}));
  EXPECT_TRUE(must(b.multi_get(Partition::kTombstones, keys)).empty());
  EXPECT_TRUE(must(b.multi_get(p, {})).empty());
}

template <class Factory>
void check_batch_order(BackendContractTest<Factory>& t) {
  const Partition p = Partition::kNamespaceIndex, q = Partition::kPayloadIndex;
  must_ok(t.b().put(p, "gone", "x"));
  std::vector<BatchOp> ops = {
      BatchOp::put(p, "a", "1"),  BatchOp::del(p, "a"),            // put then delete: absent
      BatchOp::del(p, "b"),       BatchOp::put(p, "b", "new"),      // delete then put: new value
      BatchOp::put(p, "c", "1"),  BatchOp::put(p, "c", "2"),        // the last write wins
      BatchOp::del(p, "gone"),    BatchOp::put(q, "a", "other partition"),
  };
  must_ok(t.b().write_batch(std::move(ops)));
  must_ok(t.b().write_batch({}));
  t.settle();
  StorageBackend& b = t.b();
  EXPECT_EQ(must(b.scan_all(p)), (std::vector<KvPair>{{"b", "new"}, {"c", "2"}}));
  EXPECT_EQ(must(b.scan_all(q)), (std::vector<KvPair>{{"a", "other partition"}}));
}

TYPED_TEST_SUITE_P(BackendContractTest);

TYPED_TEST_P(BackendContractTest, NewBackendHasTenEmptyPartitions) {
  for (uint8_t p = 0; p < kPartitionCount; ++p)
    EXPECT_TRUE(must(this->b().scan_all(static_cast<Partition>(p))).empty()) << int(p);
}

TYPED_TEST_P(BackendContractTest, PutGetDeleteAndPartitionsAreSeparate) { check_put_get_delete(*this); }
TYPED_TEST_P(BackendContractTest, ScansOrderByUnsignedBytes) { check_scan_order(*this); }
TYPED_TEST_P(BackendContractTest, MultiGetKeepsRequestOrder) { check_multi_get(*this); }
TYPED_TEST_P(BackendContractTest, BatchesApplyInListOrder) { check_batch_order(*this); }

REGISTER_TYPED_TEST_SUITE_P(BackendContractTest, NewBackendHasTenEmptyPartitions,
                            PutGetDeleteAndPartitionsAreSeparate, ScansOrderByUnsignedBytes,
                            MultiGetKeepsRequestOrder, BatchesApplyInListOrder);
// A build may compile only one of the two suites (the sanitizer build runs
// the concurrency suite alone).
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(BackendContractTest);

// The write-then-read cases with the backend dropped and opened again on
// the same folder between the writes and the reads. For factories with
// `std::shared_ptr<StorageBackend> reopen()`, which opens the folder of the
// last make() again.
template <class Factory>
class BackendReopenTest : public BackendContractTest<Factory> {
 public:
  void settle() override {
    this->backend_.reset();
    this->backend_ = this->factory_.reopen();
    ASSERT_NE(this->backend_, nullptr);
  }
};

TYPED_TEST_SUITE_P(BackendReopenTest);

TYPED_TEST_P(BackendReopenTest, PutGetDeleteAndPartitionsAreSeparate) { check_put_get_delete(*this); }
TYPED_TEST_P(BackendReopenTest, ScansOrderByUnsignedBytes) { check_scan_order(*this); }
TYPED_TEST_P(BackendReopenTest, MultiGetKeepsRequestOrder) { check_multi_get(*this); }
TYPED_TEST_P(BackendReopenTest, BatchesApplyInListOrder) { check_batch_order(*this); }

REGISTER_TYPED_TEST_SUITE_P(BackendReopenTest, PutGetDeleteAndPartitionsAreSeparate,
                            ScansOrderByUnsignedBytes, MultiGetKeepsRequestOrder, BatchesApplyInListOrder);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(BackendReopenTest);

template <class Factory>
class BackendConcurrencyTest : public BackendContractTest<Factory> {};

TYPED_TEST_SUITE_P(BackendConcurrencyTest);

// Writers commit batches that set every key of their group to one counter
// value; readers scan a group at once and must never see two values in it
// (a partly applied batch) nor a value older than one they saw before.
TYPED_TEST_P(BackendConcurrencyTest, ReadersNeverSeePartOfABatch) {
  StorageBackend& b = this->b();
  constexpr int kWriters = 3, kReaders = 3, kRounds = 150, kKeys = 6;
  const Partition p = Partition::kDefault;
  auto group = [](int w) { return "g" + std::to_string(w) + "/"; };
  std::atomic<int> writers_left{kWriters};
  std::atomic<int> violations{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int round = 1; round <= kRounds; ++round) {
        std::vector<BatchOp> ops;
        char value[16];
        std::snprintf(value, sizeof value, "%08d", round);
        for (int k = 0; k < kKeys; ++k)
          ops.push_back(BatchOp::put(p, group(w) + std::to_string(k), value));
        if (!b.write_batch(std::move(ops)).ok()) violations.fetch_add(1);
        // Single writes to a side partition interleave with the batches.
        if (!b.put(Partition::kVersions, group(w) + std::to_string(round), "x").ok())
          violations.fetch_add(1);
      }
      writers_left.fetch_sub(1);
    });
  }
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&, r] {
      std::vector<std::string> last(kWriters);
      while (writers_left.load() > 0) {
        for (int w = 0; w < kWriters; ++w) {
          auto pairs = b.scan_prefix(p, group(w));
          if (!pairs.ok()) {
            violations.fetch_add(1);
            continue;
          }
          const auto& got = pairs.value();
          if (got.empty()) continue;
          if (got.size() != kKeys) violations.fetch_add(1);
          for (const KvPair& kv : got) {
            if (kv.value != got.front().value) violations.fetch_add(1);
          }
          if (got.front().value < last[w]) violations.fetch_add(1);
          last[w] = got.front().value;
          (void)b.get(p, group(w) + "0");
          (void)b.multi_get(Partition::kVersions, std::vector<std::string>{group(r % kWriters) + "1"});
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(violations.load(), 0);
  for (int w = 0; w < kWriters; ++w) {
    auto final_pairs = must(b.scan_prefix(p, group(w)));
    ASSERT_EQ(final_pairs.size(), size_t{kKeys});
    EXPECT_EQ(final_pairs.front().value, "00000150");
    EXPECT_EQ(must(b.scan_prefix(Partition::kVersions, group(w))).size(), size_t{kRounds});
  }
}

// Concurrent puts and deletes of disjoint keys leave exactly the survivors.
TYPED_TEST_P(BackendConcurrencyTest, ConcurrentPutsAndDeletesOfDisjointKeys) {
  StorageBackend& b = this->b();
  constexpr int kThreads = 4, kKeys = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kKeys; ++i) {
        const std::string key = std::to_string(t) + ":" + std::to_string(i);
        (void)b.put(Partition::kTextIndex, key, key);
        if (i % 2 == 1) (void)b.del(Partition::kTextIndex, key);
      }
    });
  }
  for (auto& t : threads) t.join();
  const auto all = must(b.scan_all(Partition::kTextIndex));
  EXPECT_EQ(all.size(), size_t{kThreads * kKeys / 2});
  for (const KvPair& kv : all) {
    EXPECT_EQ(kv.key, kv.value);
    EXPECT_EQ((std::stoi(kv.key.substr(kv.key.find(':') + 1))) % 2, 0) << kv.key;
  }
}

REGISTER_TYPED_TEST_SUITE_P(BackendConcurrencyTest, ReadersNeverSeePartOfABatch,
                            ConcurrentPutsAndDeletesOfDisjointKeys);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(BackendConcurrencyTest);

}  // namespace zv::testing_contract
