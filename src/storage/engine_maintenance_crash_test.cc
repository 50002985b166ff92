// Crash tests of the maintenance operations on a database in directory mode
// (durable test backend, log shards, segment files, index file). A child
// process writes and maintains the database and is killed with SIGKILL at a
// random moment; the parent then reopens the database and checks it.
//  (a) Writes mixed with flushes, log compactions, deferred batches, layout
//      compactions and rebuilds, with a small log rotation size so that
//      flushes rotate: every acknowledged write reads back with its own
//      vector and is in the index; acknowledged deletes stay deleted.
//  (b) Kills inside layout compaction and inside a rebuild, which pause at
//      each of their steps: every acknowledged node reads back with its own
//      vector (absent is a failure) and the index agrees with the store.
// Only ids of the write in flight at the kill may go either way.
#include <signal.h>
#include <sys/wait.h>
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
#include "src/storage/engine_open.h"
#include "src/storage/testing/consistency.h"
#include "src/storage/testing/crash_child.h"
#include "src/wal/wal_records.h"

namespace zv {
namespace {

using testing::say;

constexpr NodeId kIds = 300;
constexpr size_t kDims = 16;

std::vector<float> vector_of(NodeId id, uint64_t version) {
  std::vector<float> v(kDims);
  v[0] = 1.0f;
  v[1] = float(id);
  v[2] = float(version % 1000);
  v[3] = float(version / 1000);
  for (size_t i = 4; i < kDims; ++i) v[i] = float((id * i + version) % 11) - 5.0f;
  return v;
}

EngineNode node_of(NodeId id, uint64_t version) {
  EngineNode n = EngineNode::create(id);
  n.vector = VectorRepr::f32(vector_of(id, version));
  n.set_field("v", FieldValue::integer(static_cast<int64_t>(version)));
  return n;
}

Config crash_config() {
  Config c;
  c.backend = BackendKind::kMorva;
  c.wal_shards = 3;
  c.memory_pressure_ratio = 0;
  return c;
}

EngineOpenSeams crash_seams() {
  EngineOpenSeams s;
  s.factories = testing::durable_factory_table();
  s.wal_options = wal::sharded_wal_options(crash_config());
  s.wal_options->max_file_size = 8192;  // flushes rotate the shards
  return s;
}

std::string items_text(const std::vector<EngineNode>& nodes, uint64_t first_version) {
  std::string out;
  for (size_t i = 0; i < nodes.size(); ++i)
    out += " " + node_id_to_string(nodes[i].id) + ":" + std::to_string(first_version + i);
  return out;
}

// Lines: "I <op> <id>:<version> ..." before a write or maintenance step
// (op: i insert, d delete, b batch, r deferred batch, m maintenance), "A"
// after it returned success, "E <text>" after a failure.
[[noreturn]] void child(const std::string& dir, char mode, int round, int fd, uint64_t seed) {
  auto opened = StorageEngine::open(dir, crash_config(), crash_seams());
  if (!opened.ok()) {
    say(fd, "E open: " + opened.error().message());
    ::_exit(1);
  }
  std::shared_ptr<StorageEngine> e = opened.value();
  std::mt19937_64 rng(seed);
  if (mode == 'b') {
    // Pauses inside the maintenance steps, so that kills land there.
    e->maintenance_seams.at_step = [&rng](std::string_view) { sleep_ms(rng() % 4); };
  }
  uint64_t version = static_cast<uint64_t>(round) * 100'000;
  for (;;) {
    const int op = static_cast<int>(rng() % (mode == 'a' ? 16 : 6));
    ZolvaStatus r;
    if (op <= 5 && (mode == 'a' || op <= 3)) {
      const NodeId id = 1 + rng() % kIds;
      ++version;
      say(fd, "I i " + node_id_to_string(id) + ":" + std::to_string(version));
      r = e->insert(node_of(id, version));
    } else if (mode == 'b') {
      say(fd, "I m");
      if (op == 4) {
        auto c = e->compact_layout_bfs();
        if (!c.ok()) r = make_unexpected(c.error());
      } else {
        auto c = e->rebuild_vector_index();
        if (!c.ok()) r = make_unexpected(c.error());
      }
    } else if (op <= 7) {
      const NodeId id = 1 + rng() % kIds;
      say(fd, "I d " + node_id_to_string(id) + ":0");
      r = e->delete_node(id, "crash test");
    } else if (op <= 9) {
      std::vector<EngineNode> b;
      const size_t n = 1 + rng() % 12;
      for (size_t i = 0; i < n; ++i) b.push_back(node_of(1 + rng() % kIds, version + 1 + i));
      BatchInsertOptions opts;
      opts.insert_mode = op == 8 ? InsertMode::kIncremental : InsertMode::kRebuild;
      say(fd, std::string("I ") + (op == 8 ? "b" : "r") + items_text(b, version + 1));
      version += n;
      r = e->batch_insert_with_opts(b, opts);
    } else {
      say(fd, "I m");
      if (op <= 11) {
        r = e->flush();
      } else if (op == 12) {
        r = e->compact_wal();
      } else if (op <= 14) {
        auto c = e->compact_layout_bfs();
        if (!c.ok()) r = make_unexpected(c.error());
      } else {
        auto c = e->rebuild_vector_index();
        if (!c.ok()) r = make_unexpected(c.error());
      }
    }
    say(fd, r.ok() ? "A" : "E " + r.error().message());
  }
}

// The child runs in a fresh image of this binary (fork, then exec), so no
// lock or thread pool of the tests before it is inherited half-held.
constexpr const char* kChildEnv = "ZV_MAINTENANCE_CRASH_CHILD";
const bool kChildRan = [] {
  if (const char* v = std::getenv(kChildEnv)) {
    std::istringstream in(v);
    std::string dir;
    char mode = 'a';
    int round = 0, fd = -1;
    uint64_t seed = 0;
    in >> dir >> mode >> round >> fd >> seed;
    child(dir, mode, round, fd, seed);
  }
  return false;
}();

void run_rounds(char mode, int rounds, int min_ms, int spread_ms) {
  testing::TempDir dir;
  const uint64_t seed = os_random_u64();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  std::map<NodeId, uint64_t> expected;  // id -> version (0: deleted)
  std::set<NodeId> in_flight;
  uint64_t acked = 0, maintained = 0;
  for (int round = 0; round < rounds; ++round) {
    const uint64_t child_seed = rng();
    testing::ChildProcess c = testing::spawn_self(kChildEnv, [&](int fd) {
      return dir.path() + " " + mode + " " + std::to_string(round) + " " + std::to_string(fd) + " " +
             std::to_string(child_seed);
    });
    ASSERT_GE(c.pid, 0);
    sleep_ms(min_ms + rng() % spread_ms);
    std::string out;
    testing::kill_and_collect(c, out);

    std::optional<testing::IntentOp> pending;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
      if (line.rfind("E", 0) == 0) FAIL() << "round " << round << ": " << line;
      if (line.rfind("I ", 0) == 0) pending = testing::parse_intent(line);
      if (line == "A" && pending) {
        for (const auto& [id, v] : pending->items) {
          expected[id] = pending->kind == 'd' ? 0 : v;
          in_flight.erase(id);
        }
        if (pending->kind == 'm') ++maintained;
        ++acked;
        pending.reset();
      }
    }
    if (pending)
      for (const auto& [id, v] : pending->items) in_flight.insert(id);

    auto opened = StorageEngine::open(dir.path(), crash_config(), crash_seams());
    ASSERT_TRUE(opened.ok()) << "round " << round << ": " << opened.error().message();
    StorageEngine& e = **opened;
    auto index = e.vector_index();
    for (const auto& [id, version] : expected) {
      if (in_flight.count(id)) continue;
      const std::string name = "round " + std::to_string(round) + ": " + node_id_to_string(id);
      auto g = e.get(id);
      ASSERT_TRUE(g.ok()) << name;
      if (version == 0) {
        EXPECT_FALSE(*g) << name << " deleted, came back";
        EXPECT_FALSE(index->contains(id)) << name << " deleted, still indexed";
        continue;
      }
      ASSERT_TRUE(*g) << name << " lost";
      EXPECT_EQ((*g)->id, id) << name;
      EXPECT_EQ((*g)->vector.to_f32_vec(), vector_of(id, version)) << name;
      auto indexed = index->vector(id);
      ASSERT_TRUE(indexed) << name << " not indexed";
      EXPECT_EQ(indexed->to_f32_vec(), vector_of(id, version)) << name;
    }
    if (in_flight.empty()) {
      EXPECT_TRUE(testing::engine_disagreements(e).empty()) << "round " << round;
    }
    if (::testing::Test::HasFailure()) return;
  }
  EXPECT_GT(acked, static_cast<uint64_t>(rounds));  // the rounds did real work
  EXPECT_GT(maintained, 0u);
}

TEST(MaintenanceCrash, WritesWithFlushesCompactionsAndRebuildsSurviveSigkill) {
  run_rounds('a', 50, 100, 300);
}

TEST(MaintenanceCrash, KillsInsideCompactionAndRebuildLoseNoNode) {
  run_rounds('b', 30, 60, 250);
}

}  // namespace
}  // namespace zv
