// Crash test of put_batch: a child process opens a directory-mode database
// (the durable test backend) and stores calls of small records (16 dims),
// some of more than one chunk whose vectors wait for the rebuild at the end
// of the call, and is killed with SIGKILL at a random moment; 30 rounds on
// the same database. Before each call the child names it ("I <call>"; the
// parent makes the same records from the round's seed), after it "A". After
// every kill the database is opened again as a user would: every record of
// an acknowledged call reads back whole with its vector, is listed in its
// namespace and found by a search for its vector; a record of the killed
// call is either not there (the earlier state stands) or there whole. The
// backend keeps nothing since its last flush, so each open replays the log
// and its index check repairs what the lost index writes left behind.
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/random.h"
#include "platform/testing/temp_dir.h"
#include "src/backends/testing/durable_test_backend.h"
#include "src/record/node_key.h"
#include "src/runtime/filter_bitset.h"
#include "src/sdk/put_batch.h"
#include "src/sdk/record_index.h"
#include "src/storage/testing/crash_child.h"

namespace zv {
namespace {

using testing::say;

constexpr int kRounds = 30;
constexpr int kKeys = 2400;

Config crash_config(const std::string& dir) {
  Config c;
  c.storage_path = dir;
  c.backend = BackendKind::kMorva;  // the durable test backend under its kind
  c.batch_size = 1000;
  c.memory_pressure_ratio = 0;
  return c;
}

ZolvaResult<EmbeddedDb> open_db(const std::string& dir) {
  EngineOpenSeams seams;
  seams.factories = testing::durable_factory_table();
  return EmbeddedDb::open_with_config(crash_config(dir), seams);
}

std::vector<float> vector_of(uint64_t tag) {
  std::mt19937 rng(static_cast<uint32_t>(tag ^ (tag >> 32)));
  std::vector<float> v(16);
  for (float& x : v) x = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
  return v;
}

// The records of one call: mostly small calls, one in four of 1,000 to
// 2,400 records (more than one chunk, the first deferred while the index
// holds no more vectors than the call brings).
std::vector<MemoryInput> call_inputs(uint64_t seed, int round, int call) {
  std::mt19937_64 rng(seed * 1000003 + static_cast<uint64_t>(call));
  const size_t n = rng() % 4 == 0 ? 1000 + rng() % 1400 : 1 + rng() % 30;
  std::vector<MemoryInput> out;
  for (size_t i = 0; i < n; ++i) {
    MemoryInput in;
    in.ns = "crash";
    in.key = "k" + std::to_string(rng() % kKeys);
    const uint64_t tag = (static_cast<uint64_t>(round) << 40) | (static_cast<uint64_t>(call) << 16) | i;
    // Round r's records hold r + 2 distinct tokens: a round whose index
    // writes were lost changes the counts the open's index check compares.
    for (int w = 0; w <= round; ++w) in.payload += "f" + std::to_string(w) + " ";
    in.payload += "tag" + std::to_string(tag);
    in.vector = vector_of(tag);
    out.push_back(std::move(in));
  }
  return out;
}

// "R" once open; "I <call>" before a call, "A" after its success, "E <text>"
// after a failure.
[[noreturn]] void child(const std::string& dir, int round, int fd, uint64_t seed) {
  auto opened = open_db(dir);
  if (!opened.ok()) {
    say(fd, "E " + opened.error().message());
    ::_exit(1);
  }
  EmbeddedDb db = std::move(opened.value());
  say(fd, "R");
  for (int call = 0;; ++call) {
    say(fd, "I " + std::to_string(call));
    auto r = db.put_batch(call_inputs(seed, round, call));
    say(fd, r.ok() ? "A" : "E " + r.error().message());
  }
}

constexpr const char* kChildEnv = "ZV_PUT_BATCH_CRASH_CHILD";
const bool kChildRan = [] {
  if (auto a = testing::child_args(kChildEnv)) child(a->dir, a->round, a->fd, a->seed);
  return false;
}();

// The vector of the record whose payload ends in "tag<N>".
std::vector<float> vector_of_payload(const std::string& payload) {
  const size_t at = payload.rfind("tag");
  return at == std::string::npos ? std::vector<float>{} : vector_of(std::stoull(payload.substr(at + 3)));
}

struct Expected {
  std::string payload;
  std::vector<float> vector;
};

// The record as the call left it: payload and vector, listed and found.
void expect_whole(EmbeddedDb& db, StorageEngine& e, const std::set<NodeId>& listed,
                  const std::string& key, const Expected& want, int round) {
  auto got = db.get("crash", key);
  ASSERT_TRUE(got.ok() && got->has_value()) << "round " << round << ": lost " << key;
  EXPECT_EQ((*got)->payload, want.payload) << "round " << round << ": " << key;
  EXPECT_EQ((*got)->vector, want.vector) << "round " << round << ": " << key;
  const NodeId id = record_node_id("crash", key);
  EXPECT_TRUE(listed.count(id)) << "round " << round << ": not listed " << key;
  auto hits = e.vector_index()->search_nearest(want.vector, std::nullopt, std::nullopt,
                                               FilterBitset::unfiltered(), 10, nullptr);
  bool found = false;
  for (const auto& h : hits) found |= h.id == id;
  EXPECT_TRUE(found) << "round " << round << ": not found by its vector " << key;
}

TEST(PutBatchCrash, AcknowledgedCallsSurviveSigkillWhole) {
  testing::TempDir dir;
  const uint64_t seed = os_random_u64();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  std::map<std::string, Expected> expected;  // by key, after the acknowledged calls
  uint64_t acked = 0;
  for (int round = 0; round < kRounds; ++round) {
    const uint64_t child_seed = rng();
    testing::ChildProcess c = testing::spawn_child(kChildEnv, dir.path(), round, child_seed);
    ASSERT_GE(c.pid, 0);
    std::string out = testing::read_until_ready(c);
    sleep_ms(50 + rng() % 400);
    testing::kill_and_collect(c, out);

    int pending = -1;  // the call in flight at the kill
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("E", 0) == 0) FAIL() << "round " << round << ": " << line;
      if (line.rfind("I ", 0) == 0) pending = std::stoi(line.substr(2));
      if (line == "A" && pending >= 0) {
        for (MemoryInput& in : call_inputs(child_seed, round, pending)) {
          expected[in.key] = Expected{in.payload, *in.vector};
        }
        ++acked;
        pending = -1;
      }
    }

    auto opened = open_db(dir.path());
    ASSERT_TRUE(opened.ok()) << "round " << round << ": " << opened.error().message();
    EmbeddedDb& db = *opened;
    auto e = db.engine().value();
    auto lookup = namespace_index_ids(*e, "crash", 0, std::nullopt);
    ASSERT_TRUE(lookup.ok());
    const std::set<NodeId> listed(lookup->ids.begin(), lookup->ids.end());
    // The killed call: each of its records is absent (the earlier state
    // stands) or whole; the last occurrence of a key wins.
    std::map<std::string, Expected> killed;
    if (pending >= 0) {
      for (MemoryInput& in : call_inputs(child_seed, round, pending)) {
        killed[in.key] = Expected{in.payload, *in.vector};
      }
    }
    for (const auto& [key, want] : killed) {
      auto got = db.get("crash", key);
      ASSERT_TRUE(got.ok());
      if (got->has_value() && (*got)->payload != (expected.count(key) ? expected[key].payload : "")) {
        // Some record of the killed call: whole, with its vector, listed.
        EXPECT_EQ((*got)->vector, vector_of_payload((*got)->payload));
        EXPECT_TRUE(listed.count(record_node_id("crash", key))) << "round " << round << ": " << key;
      }
    }
    for (const auto& [key, want] : expected) {
      if (killed.count(key)) continue;
      expect_whole(db, *e, listed, key, want, round);
      if (HasFailure()) return;
    }
    // What the killed call left now counts as the stored state.
    for (const auto& [key, want] : killed) {
      auto got = db.get("crash", key);
      if (got.ok() && got->has_value()) expected[key] = Expected{(*got)->payload, *(*got)->vector};
    }
    ASSERT_TRUE(db.close().ok());
  }
  EXPECT_GT(acked, 30u);
}

}  // namespace
}  // namespace zv
