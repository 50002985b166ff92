// Test support for the SDK's record operations: a fixed platform clock, a
// write request from a few fields, and a database fixture that logs audit
// lines to a file the tests read back. Test-only; not thread-safe (the clock
// is process-wide).
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/debug_quote.h"
#include "platform/fs.h"
#include "src/record/memory_input.h"
#include "src/record/version_history.h"
#include "src/sdk/index_rebuild.h"
#include "src/sdk/testing/indexed_writes.h"
#include "src/text/derived_index.h"
#include "src/text/sparse_index.h"
#include "src/text/text_index_state.h"

namespace zv::sdk_testing {

inline constexpr uint64_t kTestNowMs = 1'700'000'000'000;  // 2023-11-14T22:13:20Z

// Fixes the platform clock for the object's life.
class TestClock {
 public:
  explicit TestClock(uint64_t ms) { set(ms); }
  ~TestClock() { set_now_ms_for_testing(0); }
  TestClock(const TestClock&) = delete;
  TestClock& operator=(const TestClock&) = delete;
  void set(uint64_t ms) { set_now_ms_for_testing(ms); }
};

inline MemoryInput make_input(std::string ns, std::string key, std::string payload = "some words",
                              FieldMap metadata = {}) {
  MemoryInput in;
  in.ns = std::move(ns);
  in.key = std::move(key);
  in.payload = std::move(payload);
  in.metadata = std::move(metadata);
  return in;
}

template <typename T>
ZolvaStatus status_of(const ZolvaResult<T>& r) {
  if (r.ok()) return {};
  return make_unexpected(r.error());
}

// Expects a failure of that kind whose message contains `text`.
inline void expect_error(const ZolvaStatus& s, ZolvaErrorKind kind, std::string_view text,
                         const std::string& name) {
  ASSERT_FALSE(s.ok()) << name;
  EXPECT_EQ(s.error().kind(), kind) << name << ": " << s.error().message();
  EXPECT_NE(s.error().message().find(text), std::string::npos)
      << name << ": " << s.error().message();
}

// The derived, text and sparse partitions (4 to 7) and the three state
// records with their build times cleared: what a rebuild must reproduce.
struct IndexSnapshot {
  std::vector<std::vector<KvPair>> partitions;
  std::optional<text::DerivedIndexState> derived;
  std::optional<text::TextIndexState> text;
  std::optional<text::SparseIndexState> sparse;
  bool operator==(const IndexSnapshot&) const = default;
};

inline IndexSnapshot snapshot_indexes(StorageEngine& e) {
  IndexSnapshot s;
  for (Partition p : {Partition::kNamespaceIndex, Partition::kPayloadIndex, Partition::kTextIndex,
                      Partition::kSparseIndex}) {
    auto pairs = e.backend->scan_all(p);
    EXPECT_TRUE(pairs.ok());
    s.partitions.push_back(pairs.ok() ? *pairs : std::vector<KvPair>{});
  }
  auto d = text::DerivedIndexState::read(*e.backend);
  auto t = text::TextIndexState::read(*e.backend);
  auto sp = text::SparseIndexState::read(*e.backend);
  EXPECT_TRUE(d.ok() && t.ok() && sp.ok());
  if (d.ok()) s.derived = *d;
  if (t.ok()) s.text = *t;
  if (sp.ok()) s.sparse = *sp;
  if (s.derived) s.derived->built_at_ms = 0;
  if (s.text) s.text->built_at_ms = 0;
  if (s.sparse) s.sparse->built_at_ms = 0;
  return s;
}

// Expects the indexes the writers left to equal what full rebuilds of the
// same records write (the rebuilds run in place, after the snapshot).
inline void expect_rebuild_writes_same(const EmbeddedDb& db, StorageEngine& e,
                                       const std::string& where = "") {
  const IndexSnapshot before = snapshot_indexes(e);
  ASSERT_TRUE(rebuild_derived_index(db).ok()) << where;
  ASSERT_TRUE(rebuild_text_index(db).ok()) << where;
  ASSERT_TRUE(rebuild_sparse_index(db).ok()) << where;
  const IndexSnapshot after = snapshot_indexes(e);
  auto keys = [](const std::vector<KvPair>& pairs) {
    std::string out;
    for (const KvPair& kv : pairs) out += debug_quote(kv.key) + "=" + debug_quote(kv.value) + " ";
    return out;
  };
  for (size_t i = 0; i < before.partitions.size(); ++i) {
    EXPECT_TRUE(before.partitions[i] == after.partitions[i])
        << where << " partition " << i + 4 << "\nwritten: " << keys(before.partitions[i])
        << "\nrebuilt: " << keys(after.partitions[i]);
  }
  auto counts = [](const IndexSnapshot& s) {
    std::string out;
    if (s.derived) {
      out += "derived " + std::to_string(s.derived->record_count) + "/" +
             std::to_string(s.derived->namespace_entries) + "/" +
             std::to_string(s.derived->payload_entries);
    }
    if (s.text) {
      out += " text " + std::to_string(s.text->record_count) + "/" +
             std::to_string(s.text->posting_entries) + "/" +
             std::to_string(s.text->doc_stats_entries) + "/" +
             std::to_string(s.text->term_stats_entries) + "/" +
             std::to_string(s.text->namespace_stats_entries);
    }
    if (s.sparse) {
      out += " sparse " + std::to_string(s.sparse->record_count) + "/" +
             std::to_string(s.sparse->posting_entries);
    }
    return out;
  };
  EXPECT_TRUE(before.derived == after.derived && before.text == after.text &&
              before.sparse == after.sparse)
      << where << "\nwritten: " << counts(before) << "\nrebuilt: " << counts(after);
}

class MemoryFixture : public DbFixture {
 protected:
  MemoryFixture() {
    audit_path = fs::join(dir.path(), "audit.log");
    config.audit_log_path = audit_path;
  }

  std::vector<std::string> audit_lines() {
    std::vector<std::string> out;
    auto text = fs::read_file(audit_path);
    if (!text.ok()) return out;
    size_t start = 0;
    while (start < text->size()) {
      size_t end = text->find('\n', start);
      if (end == std::string::npos) end = text->size();
      out.push_back(text->substr(start, end - start));
      start = end + 1;
    }
    return out;
  }
  // "op namespace key outcome" of each audit line.
  std::vector<std::string> audit_summary() {
    std::vector<std::string> out;
    for (const std::string& line : audit_lines()) {
      auto j = nlohmann::json::parse(line);
      out.push_back(j["op"].get<std::string>() + " " + j["namespace"].get<std::string>() + " " +
                    j["key"].get<std::string>() + " " + j["outcome"].get<std::string>());
    }
    return out;
  }
  size_t version_entries(StorageEngine& e, std::string_view ns, std::string_view key) {
    auto got = e.scan_prefix(Partition::kVersions, version_prefix(ns, key));
    EXPECT_TRUE(got.ok());
    return got.ok() ? got->size() : 0;
  }

  std::string audit_path;
};

}  // namespace zv::sdk_testing
