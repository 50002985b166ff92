#include "src/sdk/provenance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

#include "src/record/node_key.h"
#include "src/sdk/testing/indexed_writes.h"

namespace zv::memory {
namespace {

using sdk_testing::DbFixture;

// One record stored before the check runs.
struct Stored {
  std::string key = {};
  std::vector<std::string> parents = {};  // non-empty: Derived
  float confidence = 1.0f;
  std::string ns = "ns";
  bool expired = false;
  bool superseded = false;
  bool quarantined = false;
};

MemoryRecord stored_record(const Stored& s) {
  MemoryRecord r = sdk_testing::make_record(s.ns, s.key, "payload " + s.key);
  r.confidence = s.confidence;
  r.derived_from = s.parents;
  r.confidence_class = s.parents.empty() ? ConfidenceClass::kAsserted : ConfidenceClass::kDerived;
  if (s.expired) r.expires_at_ms = 1;
  if (s.superseded) {
    r.superseded_by = "newer";
    r.superseded_at_ms = 5;
  }
  if (s.quarantined) {
    r.quarantined_at_ms = 5;
    r.quarantine_reason = "r";
  }
  return r;
}

MemoryInput input_of(std::string key, std::optional<ConfidenceClass> cls,
                     std::optional<float> confidence,
                     std::optional<std::vector<std::string>> parents) {
  MemoryInput in;
  in.ns = "ns";
  in.key = std::move(key);
  in.confidence_class = cls;
  in.confidence = confidence;
  in.derived_from = std::move(parents);
  return in;
}

// A chain g1 <- g2 <- ... <- gN stored above a new record deriving from g1.
std::vector<Stored> chain(int generations) {
  std::vector<Stored> out;
  for (int i = 1; i <= generations; ++i) {
    Stored s{"g" + std::to_string(i)};
    if (i < generations) s.parents = {"g" + std::to_string(i + 1)};
    out.push_back(s);
  }
  return out;
}

class ProvenanceTest : public DbFixture {
 protected:
  void SetUp() override {
    db_.emplace(open_ok());
    engine_ = engine_of(*db_);
  }
  void store(const std::vector<Stored>& records) {
    for (const Stored& s : records) {
      ASSERT_TRUE(sdk_testing::put_indexed(*engine_, stored_record(s)).ok()) << s.key;
    }
  }

  std::optional<EmbeddedDb> db_;
  std::shared_ptr<StorageEngine> engine_;
};

constexpr auto kAsserted = ConfidenceClass::kAsserted;
constexpr auto kDerived = ConfidenceClass::kDerived;
using Parents = std::vector<std::string>;

TEST_F(ProvenanceTest, Cases) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    std::string name;
    std::vector<Stored> stored;
    MemoryInput input;
    // Expected success...
    float confidence = 0;
    Parents derived_from = {};
    // ...or failure.
    std::string field = {};
    std::string reason = {};
  };
  const std::vector<Case> cases = {
      {"asserted default", {}, input_of("k", std::nullopt, std::nullopt, std::nullopt), 1.0f},
      {"asserted 0.0 kept", {}, input_of("k", kAsserted, 0.0f, Parents{}), 0.0f},
      {"asserted 1.0 kept", {}, input_of("k", kAsserted, 1.0f, std::nullopt), 1.0f},
      {"asserted with parents", {}, input_of("k", kAsserted, std::nullopt, Parents{"p"}), 0, {},
       "derived_from", "asserted records cannot declare derived_from parents"},
      {"asserted out of range", {}, input_of("k", kAsserted, -0.5f, std::nullopt), 0, {},
       "confidence", "confidence must be a finite number in [0,1]"},
      {"asserted NaN", {}, input_of("k", kAsserted, nan, std::nullopt), 0, {}, "confidence",
       "confidence must be a finite number in [0,1]"},
      {"derived range before declared score", {}, input_of("k", kDerived, 2.0f, Parents{"p"}),
       0, {}, "confidence", "confidence must be a finite number in [0,1]"},
      {"derived declared score", {{"p"}}, input_of("k", kDerived, 0.5f, Parents{"p"}), 0, {},
       "confidence",
       "derived score is computed from parents; declared scores are not allowed on derived "
       "records"},
      {"derived without parents", {}, input_of("k", kDerived, std::nullopt, Parents{}), 0, {},
       "derived_from", "derived records require a non-empty derived_from parent list (V1)"},
      {"derived absent parent list", {}, input_of("k", kDerived, std::nullopt, std::nullopt), 0,
       {}, "derived_from", "derived records require a non-empty derived_from parent list (V1)"},
      {"own key", {{"p"}}, input_of("k", kDerived, std::nullopt, Parents{"p", "k"}), 0, {},
       "derived_from", "derivation cycle detected: 'k' is its own ancestor"},
      {"cycle through stored records",
       {{"A", {"B"}}, {"B", {"A"}}},
       input_of("A", kDerived, std::nullopt, Parents{"B"}), 0, {}, "derived_from",
       "derivation cycle detected: 'A' is its own ancestor"},
      {"16 generations", chain(16), input_of("k", kDerived, std::nullopt, Parents{"g1"}), 0.9f,
       {"g1"}},
      {"17 generations", chain(17), input_of("k", kDerived, std::nullopt, Parents{"g1"}), 0, {},
       "derived_from", "derivation chain exceeds MAX_DERIVATION_DEPTH (16)"},
      {"missing grandparent skipped",
       {{"p", {"gone"}, 0.5f}},
       input_of("k", kDerived, std::nullopt, Parents{"p"}), 0.9f * 0.5f, {"p"}},
      {"missing direct parent", {{"p"}}, input_of("k", kDerived, std::nullopt, Parents{"p", "q"}),
       0, {}, "derived_from", "parent 'q' not found in namespace 'ns'"},
      {"expired direct parent",
       {{"p", {}, 1.0f, "ns", /*expired=*/true}},
       input_of("k", kDerived, std::nullopt, Parents{"p"}), 0, {}, "derived_from",
       "parent 'p' not found in namespace 'ns'"},
      {"parent only in another namespace",
       {{"p", {}, 1.0f, "other"}},
       input_of("k", kDerived, std::nullopt, Parents{"p"}), 0, {}, "derived_from",
       "parent 'p' not found in namespace 'ns'"},
      {"superseded and quarantined parents",
       {{"s", {}, 0.6f, "ns", false, /*superseded=*/true},
        {"q", {}, 0.7f, "ns", false, false, /*quarantined=*/true}},
       input_of("k", kDerived, std::nullopt, Parents{"s", "q"}), 0.9f * 0.6f, {"s", "q"}},
      {"duplicates kept",
       {{"a", {}, 0.8f}, {"b", {}, 0.5f}},
       input_of("k", kDerived, std::nullopt, Parents{"a", "b", "a", "b"}), 0.9f * 0.5f,
       {"a", "b", "a", "b"}},
      {"single parent at 1.0", {{"a"}}, input_of("k", kDerived, std::nullopt, Parents{"a"}),
       0.9f, {"a"}},
      {"NaN parent does not lower the minimum",
       {{"a", {}, nan}, {"b", {}, 0.8f}},
       input_of("k", kDerived, std::nullopt, Parents{"a", "b"}), 0.9f * 0.8f, {"a", "b"}},
      {"grandparent does not influence",
       {{"a", {"g"}, 0.8f}, {"g", {}, 0.1f}},
       input_of("k", kDerived, std::nullopt, Parents{"a"}), 0.9f * 0.8f, {"a"}},
      {"malformed parent key", {}, input_of("k", kDerived, std::nullopt, Parents{std::string("bad\0key", 7)}),
       0, {}, "key", "key must not contain NUL bytes"},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    // Each case in namespaces of its own.
    const std::string ns = "c" + std::to_string(i);
    std::vector<Stored> stored = c.stored;
    for (Stored& s : stored) s.ns = s.ns == "other" ? ns + "-other" : ns;
    store(stored);
    MemoryInput in = c.input;
    in.ns = ns;
    auto got = resolve_provenance(*db_, in);
    if (c.reason.empty()) {
      ASSERT_TRUE(got.ok()) << c.name << ": " << got.error().message();
      EXPECT_EQ(got->confidence, c.confidence) << c.name;
      EXPECT_EQ(got->derived_from, c.derived_from) << c.name;
      EXPECT_EQ(got->confidence_class,
                c.input.confidence_class.value_or(kAsserted)) << c.name;
    } else {
      ASSERT_FALSE(got.ok()) << c.name;
      std::string reason = c.reason;
      const size_t at = reason.find("'ns'");
      if (at != std::string::npos) reason.replace(at, 4, "'" + ns + "'");
      EXPECT_EQ(got.error().message(), "Validation error on " + c.field + ": " + reason) << c.name;
    }
  }
}

TEST_F(ProvenanceTest, ClosedHandleAndCollidingParentPassGetErrorsThrough) {
  // A node stored under the parent's id but holding another key's record.
  MemoryRecord crafted = stored_record({"other"});
  crafted.node_id = record_node_id("ns", "p");
  ASSERT_TRUE(sdk_testing::put_node_only(*engine_, crafted).ok());
  auto collision = resolve_provenance(*db_, input_of("k", kDerived, std::nullopt, Parents{"p"}));
  ASSERT_FALSE(collision.ok());
  EXPECT_EQ(collision.error().kind(), ZolvaErrorKind::kNodeIdCollision);

  ASSERT_TRUE(db_->close().ok());
  auto closed = resolve_provenance(*db_, input_of("k", kDerived, std::nullopt, Parents{"p"}));
  ASSERT_FALSE(closed.ok());
  EXPECT_EQ(closed.error().kind(), ZolvaErrorKind::kNotInitialized);
  // Asserted records read nothing, so a closed handle does not matter.
  EXPECT_TRUE(resolve_provenance(*db_, input_of("k", std::nullopt, 0.5f, std::nullopt)).ok());
}

// 1,000 ancestors reachable along many converging paths: each is read once
// by the walk, and the direct parents once more for the confidence.
TEST(ProvenanceWalkTest, ConvergingAncestorsAreReadOnce) {
  constexpr int kLayers = 10, kWidth = 100;
  std::map<std::string, MemoryRecord> records;
  auto name = [](int layer, int i) { return "n" + std::to_string(layer) + "_" + std::to_string(i); };
  for (int layer = 0; layer < kLayers; ++layer) {
    for (int i = 0; i < kWidth; ++i) {
      MemoryRecord r;
      r.ns = "ns";
      r.key = name(layer, i);
      r.confidence = 0.5f;
      if (layer + 1 < kLayers) {
        // Every node of a layer derives from every node of the next one.
        for (int j = 0; j < kWidth; ++j) r.derived_from.push_back(name(layer + 1, j));
      }
      records.emplace(r.key, r);
    }
  }
  std::map<std::string, int> reads;
  RecordReader reader = [&](std::string_view, std::string_view key)
      -> ZolvaResult<std::optional<MemoryRecord>> {
    ++reads[std::string(key)];
    auto it = records.find(std::string(key));
    if (it == records.end()) return std::optional<MemoryRecord>();
    return std::optional<MemoryRecord>(it->second);
  };
  Parents direct;
  for (int i = 0; i < kWidth; ++i) direct.push_back(name(0, i));
  auto got = resolve_provenance(reader, input_of("new", kDerived, std::nullopt, direct));
  ASSERT_TRUE(got.ok()) << got.error().message();
  EXPECT_EQ(got->confidence, 0.9f * 0.5f);
  ASSERT_EQ(reads.size(), static_cast<size_t>(kLayers * kWidth));
  for (const auto& [key, n] : reads) EXPECT_EQ(n, key.starts_with("n0_") ? 2 : 1) << key;
}

}  // namespace
}  // namespace zv::memory
