// A child writes, flushes and compacts (the leveled strategy with kilobyte
// targets, so that merges are frequent) until it is killed with SIGKILL;
// every reopen must succeed, hold what each reported flush made durable and
// leave no file that its version does not list.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <set>
#include <sstream>

#include "platform/fs.h"
#include "platform/random.h"
#include "tervik/compaction/leveled.h"
#include "tervik/core/atomic_file.h"
#include "tervik/tree/testing/tree_fixture.h"

namespace tervik {
namespace {

constexpr int kRounds = 30;
constexpr uint64_t kKeys = 500;
constexpr uint64_t kWritesPerRound = 1'000'000;
constexpr size_t kMaxTables = 200;
constexpr int kCompactionsPerFlush = 4;

std::string key_of(uint64_t w) { return "k" + std::to_string(w % kKeys); }

TreeConfig config_of(const std::string& folder) {
  return TreeConfig::create(folder, SeqNoCounter(1), SeqNoCounter(1));
}

// Writes number w = first, first + 1, ... (key w % 500, value "w<w>"),
// rotating, flushing and compacting now and then; after each registered
// flush reports "F <writes covered>" on `fd`.
[[noreturn]] void child(const std::string& folder, uint64_t first, int fd) {
  TreeConfig config = config_of(folder);
  const SeqNoCounter seqno = config.seqno;
  auto tree = Tree::open(std::move(config));
  if (!tree.ok()) ::_exit(2);
  if (auto h = tree->get_highest_persisted_seqno()) seqno.raise_to(*h + 1);
  LeveledOptions leveled;
  leveled.target_size = 4096;
  leveled.l0_threshold = 2;
  leveled.level_ratio_policy = {4.0f};
  const auto strategy = std::make_shared<compaction::Leveled>(leveled);
  std::mt19937_64 rng(first);
  for (uint64_t w = first;; ++w) {
    const std::string value = "w" + std::to_string(w) + std::string(rng() % 200, 'x');
    tree->append_entry(InternalValue::new_value(Slice(key_of(w)), Slice(value), seqno.next()));
    // Without compaction every flush adds a level-0 run, and a version file
    // holds at most 255 of them: stop flushing well before that.
    if (rng() % 200 == 0 && tree->current_version().tables().size() < kMaxTables) {
      tree->rotate_memtable();
      auto guard = tree->lock_flush();
      auto r = tree->flush_sealed_memtables(seqno.get());
      if (!r.ok()) {
        std::fprintf(stderr, "flush failed: %s\n", r.error().to_string().c_str());
        ::_exit(3);
      }
      const std::string line = "F " + std::to_string(w + 1) + "\n";
      (void)!::write(fd, line.data(), line.size());
      for (int c = 0; c < kCompactionsPerFlush; ++c) {
        const uint64_t before = tree->current_version().id();
        if (auto st = tree->compact(strategy, seqno.get()); !st.ok()) {
          std::fprintf(stderr, "compaction failed: %s\n", st.error().to_string().c_str());
          ::_exit(4);
        }
        if (tree->current_version().id() == before) break;
      }
    }
  }
}

TEST(TreeCrash, KilledWritersAndCompactorsLoseOnlyUnflushedWrites) {
  testing::TreeDir dir;
  std::mt19937_64 rng(zv::os_random_u64());
  std::vector<std::optional<uint64_t>> durable(kKeys);  // the latest durable write number per key
  for (int round = 0; round < kRounds; ++round) {
    const uint64_t first = (round + 1) * kWritesPerRound;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      child(dir.path(), first, fds[1]);
    }
    ::close(fds[1]);
    ::usleep(static_cast<useconds_t>(50'000 + rng() % 250'000));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "round " << round << ": child exited with " << WEXITSTATUS(status);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof(buf))) > 0;) out.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    std::istringstream lines(out);
    std::string tag;
    uint64_t covered = 0;
    while (lines >> tag >> covered) {
      if (tag != "F") continue;
      for (uint64_t k = 0; k < kKeys; ++k) {
        // The last write of key k below `covered` in this round.
        if (covered <= first) continue;
        const uint64_t span = covered - first;
        if (span <= k) continue;
        const uint64_t last = first + k + (span - 1 - k) / kKeys * kKeys;
        durable[k] = last;
      }
    }

    auto tree = Tree::open(config_of(dir.path()));
    ASSERT_TRUE(tree.ok()) << "round " << round << ": " << tree.error().to_string();
    for (uint64_t k = 0; k < kKeys; ++k) {
      const std::string got = testing::read(*tree, "k" + std::to_string(k), UINT64_MAX);
      if (!durable[k]) continue;
      ASSERT_EQ(got[0], 'w') << "round " << round << " key " << k << ": " << got;
      const uint64_t w = std::stoull(got.substr(1, got.find('x') == std::string::npos ? std::string::npos
                                                                                      : got.find('x') - 1));
      EXPECT_EQ(w % kKeys, k) << "round " << round << ": a value never written to this key";
      EXPECT_GE(w, *durable[k]) << "round " << round << " key " << k << ": a flushed write is lost";
      durable[k] = w;  // what this reopen holds stays durable
    }
    // Nothing but what the version lists.
    std::set<std::string> listed;
    for (const Table& t : tree->current_version().tables()) listed.insert(std::to_string(t.id()));
    const auto table_names = zv::fs::list_dir(dir.tables());
    ASSERT_TRUE(table_names.ok());
    for (const std::string& name : *table_names) {
      EXPECT_TRUE(listed.contains(name)) << "round " << round << ": orphan table " << name;
    }
    const std::string live = version_file_name(tree->current_version().id());
    const auto names = zv::fs::list_dir(dir.path());
    ASSERT_TRUE(names.ok());
    for (const std::string& name : *names) {
      if (name == "tables" || name == "current" || name == live || file::is_temp_name(name)) continue;
      ADD_FAILURE() << "round " << round << ": unexpected file " << name;
    }
  }
}

}  // namespace
}  // namespace tervik
