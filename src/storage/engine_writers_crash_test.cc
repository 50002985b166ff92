// Crash test of the writers: a child process runs inserts, deletes and
// batch inserts (indexed during the call) on an engine whose log shards and
// vector store segment are files in one directory, and is killed with
// SIGKILL at a random moment; 50 rounds continue on the same log. Before
// each write the child reports its intent, after it the acknowledgement.
// After every kill the whole log is replayed into a fresh engine: every
// acknowledged insert reads back with its own vector, every acknowledged
// delete stays deleted; only ids of the write in flight may go either way
// (a batch cut short may come back in part).
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
#include "src/storage/testing/consistency.h"
#include "src/storage/testing/engine_fixture.h"
#include "src/wal/wal_records.h"

namespace zv {
namespace {

constexpr int kRounds = 50;
constexpr uint64_t kShards = 4;
constexpr NodeId kIds = 40;

// The vector written for an id at a version; never zero.
std::vector<float> vector_of(NodeId id, uint64_t version) {
  return {1.0f, float(id), float(version % 1000), float(version / 1000)};
}

EngineNode node_of(NodeId id, uint64_t version) {
  EngineNode n = EngineNode::create(id);
  n.vector = VectorRepr::f32(vector_of(id, version));
  n.set_field("v", FieldValue::integer(static_cast<int64_t>(version)));
  n.tier = version % 2 ? Tier::kHot : Tier::kCold;
  return n;
}

void say(int fd, const std::string& line) {
  const std::string msg = line + "\n";
  (void)!::write(fd, msg.data(), msg.size());
}

// Lines: "I <op> <id>:<version> ..." before a write (op: i, d or b), "A"
// after it returned success, "E <text>" after a failure.
[[noreturn]] void child(const std::string& dir, int round, int fd, uint64_t seed) {
  Config c;
  c.backend = BackendKind::kInMemory;
  c.memory_pressure_ratio = 0;
  EngineParts parts = StorageEngine::memory_mode_parts(c);
  parts.segments.clear();
  auto seg = VFile::open(dir + "/vstore_L0_" + std::to_string(round) + ".zolva", 1 << 20, false);
  if (!seg.ok()) {
    say(fd, "E " + seg.error().message());
    ::_exit(1);
  }
  parts.segments.push_back(std::move(seg.value()));
  auto w = wal::ShardedWal::open(dir + "/zolva.wal", kShards, wal::sharded_wal_options(c));
  if (!w.ok()) {
    say(fd, "E " + w.error().message());
    ::_exit(1);
  }
  parts.wal = std::shared_ptr<wal::ShardedWal>(std::move(w.value()));
  auto e = StorageEngine::assemble(std::move(parts));
  std::mt19937_64 rng(seed);
  uint64_t version = static_cast<uint64_t>(round) * 100'000;
  BatchInsertOptions batch_opts;
  batch_opts.skip_existing_check = true;  // no thread pool in a forked child
  for (;;) {
    const int op = static_cast<int>(rng() % 4);
    ZolvaStatus r;
    if (op == 0 || op == 1) {
      const NodeId id = 1 + rng() % kIds;
      ++version;
      say(fd, "I i " + node_id_to_string(id) + ":" + std::to_string(version));
      r = e->insert(node_of(id, version));
    } else if (op == 2) {
      const NodeId id = 1 + rng() % kIds;
      say(fd, "I d " + node_id_to_string(id) + ":0");
      r = e->delete_node(id, "crash test");
    } else {
      std::vector<EngineNode> b;
      std::string line = "I b";
      const size_t n = 1 + rng() % 8;
      for (size_t i = 0; i < n; ++i) {
        const NodeId id = 1 + rng() % kIds;
        ++version;
        b.push_back(node_of(id, version));
        line += " " + node_id_to_string(id) + ":" + std::to_string(version);
      }
      say(fd, line);
      r = e->batch_insert_with_opts(b, batch_opts);
    }
    say(fd, r.ok() ? "A" : "E " + r.error().message());
  }
}

// The child runs in a fresh image of this binary (fork, then exec), so no
// lock or thread pool of the tests before it is inherited half-held.
constexpr const char* kChildEnv = "ZV_WRITERS_CRASH_CHILD";
const bool kChildRan = [] {
  if (const char* v = std::getenv(kChildEnv)) {
    std::istringstream in(v);
    std::string dir;
    int round = 0, fd = -1;
    uint64_t seed = 0;
    in >> dir >> round >> fd >> seed;
    child(dir, round, fd, seed);
  }
  return false;
}();

struct Op {
  char kind = 'i';
  std::vector<std::pair<NodeId, uint64_t>> items;
};

Op parse_intent(const std::string& line) {
  Op op;
  op.kind = line[2];
  std::istringstream in(line.substr(4));
  std::string tok;
  while (in >> tok) {
    const size_t colon = tok.find(':');
    op.items.emplace_back(static_cast<NodeId>(std::stoull(tok.substr(0, colon))),
                          std::stoull(tok.substr(colon + 1)));
  }
  return op;
}

TEST(WritersCrash, AcknowledgedWritesSurviveSigkill) {
  testing::TempDir dir;
  const uint64_t seed = os_random_u64();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  // The state the acknowledged writes leave: id -> version (0: deleted).
  std::map<NodeId, uint64_t> expected;
  uint64_t acked = 0;
  // Ids of a write that was in flight at a kill, until an acknowledged write
  // sets them again: its records may or may not have reached the log.
  std::set<NodeId> in_flight;
  for (int round = 0; round < kRounds; ++round) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const uint64_t child_seed = rng();
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      const std::string arg = dir.path() + " " + std::to_string(round) + " " +
                              std::to_string(fds[1]) + " " + std::to_string(child_seed);
      ::setenv(kChildEnv, arg.c_str(), 1);
      char* const argv[] = {const_cast<char*>("zolva_storage_tests"), nullptr};
      ::execv("/proc/self/exe", argv);
      ::_exit(127);
    }
    ::close(fds[1]);
    sleep_ms(10 + rng() % 60);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::string out;
    char buf[65536];
    for (ssize_t r; (r = ::read(fds[0], buf, sizeof(buf))) > 0;) out.append(buf, r);
    ::close(fds[0]);

    std::optional<Op> pending;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
      if (line.rfind("E", 0) == 0) FAIL() << "round " << round << ": " << line;
      if (line.rfind("I ", 0) == 0) pending = parse_intent(line);
      if (line == "A" && pending) {
        for (const auto& [id, v] : pending->items) {
          expected[id] = pending->kind == 'd' ? 0 : v;
          in_flight.erase(id);
        }
        ++acked;
        pending.reset();
      }
    }
    if (pending)
      for (const auto& [id, v] : pending->items) in_flight.insert(id);

    // Reopen: replay the whole log into a fresh engine.
    auto records = wal::recover(dir.path() + "/zolva.wal", kShards, 0);
    ASSERT_TRUE(records.ok()) << "round " << round << ": " << records.error().message();
    Config c;
    c.memory_pressure_ratio = 0;
    auto e = testing::memory_engine(c);
    for (const auto& s : *records) {
      if (const auto* ins = std::get_if<WalInsert>(&s.record)) {
        ASSERT_TRUE(e->insert(ins->node).ok());
      } else if (const auto* del = std::get_if<WalDelete>(&s.record)) {
        ASSERT_TRUE(e->delete_node(del->id, "replay").ok());
      }
    }
    for (const auto& [id, version] : expected) {
      if (in_flight.count(id)) continue;
      auto g = e->get(id);
      ASSERT_TRUE(g.ok());
      if (version == 0) {
        EXPECT_FALSE(*g) << "round " << round << ": deleted " << node_id_to_string(id) << " came back";
      } else {
        ASSERT_TRUE(*g) << "round " << round << ": lost " << node_id_to_string(id);
        EXPECT_EQ((*g)->vector, VectorRepr::f32(vector_of(id, version)))
            << "round " << round << ": " << node_id_to_string(id);
        EXPECT_EQ(e->vector_index()->vector(id), VectorRepr::f32(vector_of(id, version)));
      }
    }
    EXPECT_TRUE(testing::engine_disagreements(*e).empty());
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(acked, 50u);  // the rounds did real work
}

}  // namespace
}  // namespace zv
