// A child process runs puts, deletes, batches over several partitions and
// flushes on one backend folder, reporting each call that returned, until it
// is killed with SIGKILL; every reopen must hold every returned call, and
// each batch whole or not at all. Operation w is fixed by w alone, so the
// parent replays the reported ones into a model: the folder must hold the
// model's state, or that state with the one call in flight applied.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>
#include <sstream>

#include "morva/src/testing/test_db.h"
#include "platform/random.h"
#include "platform/testing/temp_dir.h"
#include "src/backends/morva_backend.h"

namespace zv {
namespace {

constexpr int kRounds = 30;
constexpr uint64_t kKeys = 40;
constexpr Partition kParts[] = {Partition::kDefault, Partition::kTombstones, Partition::kTextIndex};
constexpr const char* kChildEnv = "ZV_MORVA_BACKEND_CRASH_CHILD";

using Model = std::map<std::pair<int, std::string>, std::string>;

uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  return x;
}

// Operation w: a put or a delete of one key, a batch that sets one key in
// every partition (and deletes another there, and writes a third twice), or
// a flush.
std::vector<BatchOp> ops_of(uint64_t w, bool& flush) {
  const uint64_t h = mix(w);
  const std::string value = "w" + std::to_string(w) + std::string(h % 300, 'v');
  const int part = int((h >> 8) % 3);
  const std::string key = "k" + std::to_string((h >> 16) % kKeys);
  flush = false;
  switch (h % 8) {
    case 0: flush = true; return {};
    case 1: return {BatchOp::del(kParts[part], key)};
    case 2:
    case 3: {
      std::vector<BatchOp> ops;
      const std::string shared = "b" + std::to_string((h >> 24) % 10);
      const std::string gone = "b" + std::to_string((h >> 32) % 10);
      for (Partition p : kParts) {
        ops.push_back(BatchOp::put(p, shared, value));
        if (gone != shared) ops.push_back(BatchOp::del(p, gone));
        ops.push_back(BatchOp::put(p, "twice", "first"));
        ops.push_back(BatchOp::put(p, "twice", value));
      }
      return ops;
    }
    default: return {BatchOp::put(kParts[part], key, value)};
  }
}

void apply_ops(Model& m, const std::vector<BatchOp>& ops) {
  for (const BatchOp& op : ops) {
    int part = 0;
    while (kParts[part] != op.partition) ++part;
    if (op.kind == BatchOp::Kind::kPut) {
      m[{part, op.key}] = op.value;
    } else {
      m.erase({part, op.key});
    }
  }
}

morva::DatabaseConfig child_config(const std::string& dir) {
  // Small memtables and journals: flushes, journal rotations and deletions
  // of flushed journals happen while the child runs.
  morva::DatabaseConfig c = morva::testing::small_config(dir, 2);
  morva::testing::with_memtable_limit(c, 8 << 10);
  c.journal_rotation_threshold = 64 << 10;
  return c;
}

[[noreturn]] void child(const std::string& dir, uint64_t first, int fd) {
  auto b = MorvaBackend::open_with(child_config(dir));
  if (!b.ok()) {
    const std::string line = "E " + b.error().message() + "\n";
    (void)!::write(fd, line.data(), line.size());
    ::_exit(2);
  }
  for (uint64_t w = first;; ++w) {
    bool flush = false;
    std::vector<BatchOp> ops = ops_of(w, flush);
    ZolvaStatus st = flush ? b.value()->flush()
                     : ops.size() == 1 && ops[0].kind == BatchOp::Kind::kPut
                         ? b.value()->put(ops[0].partition, ops[0].key, ops[0].value)
                     : ops.size() == 1 ? b.value()->del(ops[0].partition, ops[0].key)
                                       : b.value()->write_batch(std::move(ops));
    const std::string line = st.ok() ? std::to_string(w) + "\n" : "E " + st.error().message() + "\n";
    (void)!::write(fd, line.data(), line.size());
    if (!st.ok()) ::_exit(3);
  }
}

// The child runs in a fresh image of this binary (fork, then exec), so that
// no lock or worker of the tests before it is inherited half-held.
const bool kChildRan = [] {
  if (const char* v = std::getenv(kChildEnv)) {
    std::istringstream in(v);
    std::string dir;
    uint64_t first = 0;
    int fd = -1;
    in >> dir >> first >> fd;
    child(dir, first, fd);
  }
  return false;
}();

Model read_back(MorvaBackend& b) {
  Model m;
  for (int part = 0; part < 3; ++part) {
    auto pairs = b.scan_all(kParts[part]);
    EXPECT_TRUE(pairs.ok());
    if (!pairs.ok()) continue;
    for (KvPair& kv : *pairs) m[{part, kv.key}] = std::move(kv.value);
  }
  return m;
}

TEST(MorvaBackendCrash, ReturnedCallsAndWholeBatchesSurviveSigkill) {
  zv::testing::TempDir dir;
  const uint64_t seed = os_random_u64();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  Model model;
  uint64_t next = 1;
  int reported_total = 0;
  for (int round = 0; round < kRounds; ++round) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      const std::string arg = dir.path() + " " + std::to_string(next) + " " + std::to_string(fds[1]);
      ::setenv(kChildEnv, arg.c_str(), 1);
      char* const argv[] = {const_cast<char*>("zolva_backends_tests"), nullptr};
      ::execv("/proc/self/exe", argv);
      ::_exit(127);
    }
    ::close(fds[1]);
    // Long enough for the child to open the folder and write for a while.
    ::usleep(static_cast<useconds_t>(150'000 + rng() % 250'000));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::string out;
    char buf[65536];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof(buf))) > 0;) out.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "round " << round << ": child exited: " << out.substr(0, 300);
    ASSERT_EQ(out.find("E "), std::string::npos) << out.substr(out.find("E "), 300);

    std::istringstream lines(out);
    uint64_t w = 0;
    while (lines >> w) {
      ASSERT_EQ(w, next) << "round " << round;
      bool flush = false;
      apply_ops(model, ops_of(w, flush));
      ++next;
      ++reported_total;
    }
    // The call after the last reported one may have returned unreported, or
    // been cut off; it is there whole or not at all.
    Model with_next = model;
    bool flush = false;
    apply_ops(with_next, ops_of(next, flush));

    auto b = MorvaBackend::open_with(child_config(dir.path()));
    ASSERT_TRUE(b.ok()) << "round " << round << ": " << b.error().message();
    const Model got = read_back(*b.value());
    if (got == with_next && got != model) {
      model = with_next;
      ++next;
    }
    ASSERT_EQ(got, model) << "round " << round << " after call " << next - 1;
  }
  EXPECT_GT(reported_total, kRounds * 10);
}

}  // namespace
}  // namespace zv
