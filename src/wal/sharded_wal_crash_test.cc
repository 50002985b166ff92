// Crash test: a child process appends to a sharded log from several threads,
// single records and batches, every append synced (the default), and is
// killed with SIGKILL at a random moment. Every append acknowledged before the
// kill must be recovered, in acknowledgement order, and the log must reopen.
// Some rounds also fail a chosen write or sync: those appends must vanish.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/random.h"
#include "platform/testing/temp_dir.h"
#include "src/wal/sharded_wal.h"
#include "platform/testing/faulty_file_system.h"
#include "src/wal/wal_recovery.h"

namespace zv::wal {
namespace {

constexpr int kRounds = 50;
constexpr int kThreads = 4;
constexpr uint64_t kShards = 4;
constexpr uint64_t kRoundBase = 1'000'000;  // ack indexes of round r start at r * base

// "<round> <thread> <n> <stamp>": the stamp is the number of acks made before
// the append began (every ack index below it happened before).
struct Id {
  uint64_t round = 0, thread = 0, n = 0, stamp = 0;
  bool operator<(const Id& o) const {
    return std::tie(round, thread, n) < std::tie(o.round, o.thread, o.n);
  }
};

std::string encode(const Id& id) {
  char buf[96];
  std::snprintf(buf, sizeof(buf), "%llu %llu %llu %llu", (unsigned long long)id.round,
                (unsigned long long)id.thread, (unsigned long long)id.n,
                (unsigned long long)id.stamp);
  return buf;
}

Id decode(const std::string& s) {
  Id id;
  unsigned long long a, b, c, d;
  if (std::sscanf(s.c_str(), "%llu %llu %llu %llu", &a, &b, &c, &d) == 4) id = {a, b, c, d};
  return id;
}

void say(int fd, const std::string& line) {
  const std::string msg = line + "\n";  // one write: atomic on a pipe
  (void)!::write(fd, msg.data(), msg.size());
}

[[noreturn]] void child(const std::string& wal, uint64_t round, int fd, uint64_t seed) {
  zv::testing::FaultyFileSystem faulty;
  ShardedWalOptions o;
  const bool inject = round % 5 == 4;
  if (inject) o.fs = &faulty;
  auto log = ShardedWal::open(wal, kShards, o);
  if (!log.ok()) {
    say(fd, "E " + log.error().message());
    ::_exit(1);
  }
  // Armed once the log is open, early enough to be reached before the kill.
  if (inject) {
    faulty.fail_nth(round % 2 ? zv::testing::FaultOp::kSync : zv::testing::FaultOp::kWrite,
                    1 + seed % 8);
  }
  std::atomic<uint64_t> acks{round * kRoundBase};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 rng(seed + t);
      for (uint64_t n = 0;;) {
        const uint64_t stamp = acks.load();
        const size_t k = rng() % 4 == 0 ? 1 + rng() % 6 : 0;  // 0: a single append
        std::vector<std::string> payloads;
        for (size_t j = 0; j < std::max<size_t>(k, 1); ++j)
          payloads.push_back(encode({round, static_cast<uint64_t>(t), n++, stamp}));
        ZolvaStatus st;
        if (k == 0) {
          st = (*log)->append(payloads[0]);
        } else {
          std::vector<std::string_view> views(payloads.begin(), payloads.end());
          st = (*log)->append_batch(views);
        }
        for (const std::string& p : payloads) {
          if (st.ok()) {
            say(fd, "A " + std::to_string(acks.fetch_add(1)) + " " + p);
          } else {
            say(fd, "F " + p);
          }
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  ::_exit(0);
}

TEST(ShardedWalCrash, AcknowledgedAppendsSurviveSigkill) {
  zv::testing::TempDir dir;
  const std::string wal = fs::join(dir.path(), "zolva.wal");
  const uint64_t seed = os_random_u64();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  std::map<Id, uint64_t> acked;  // id -> ack index
  std::vector<Id> failed;
  uint64_t total_failures = 0;
  for (int round = 0; round < kRounds; ++round) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const uint64_t child_seed = rng();
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      child(wal, round, fds[1], child_seed);
    }
    ::close(fds[1]);
    sleep_ms(5 + rng() % 40);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::string out;
    char buf[65536];
    for (ssize_t r; (r = ::read(fds[0], buf, sizeof(buf))) > 0;) out.append(buf, r);
    ::close(fds[0]);

    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
      if (line.rfind("E ", 0) == 0) ADD_FAILURE() << "round " << round << ": " << line;
      if (line.rfind("A ", 0) == 0) {
        const size_t sp = line.find(' ', 2);
        acked[decode(line.substr(sp + 1))] = std::stoull(line.substr(2, sp - 2));
      }
      if (line.rfind("F ", 0) == 0) {
        failed.push_back(decode(line.substr(2)));
        ++total_failures;
      }
    }
    auto rec = recover_payloads(wal, kShards, 0);
    ASSERT_TRUE(rec.ok()) << "round " << round << ": " << rec.error().message();
    std::map<Id, size_t> where;
    for (size_t i = 0; i < rec->size(); ++i) where[decode((*rec)[i].payload)] = i;
    // Every acknowledged append is there; no failed one is.
    for (const auto& [id, ack] : acked)
      ASSERT_TRUE(where.count(id)) << "round " << round << " lost " << encode(id);
    for (const Id& id : failed)
      ASSERT_FALSE(where.count(id)) << "round " << round << " replayed failed " << encode(id);
    // The log reopens after every crash (the next child appends to it).
    ASSERT_TRUE(ShardedWal::open(wal, kShards, {}).ok()) << "round " << round;
    // Acknowledgement order: an ack that happened before an append began
    // replays before it; a thread's own appends replay in program order.
    std::vector<std::pair<uint64_t, size_t>> ack_pos;  // ack index -> position
    for (const auto& [id, ack] : acked) ack_pos.push_back({ack, where[id]});
    std::sort(ack_pos.begin(), ack_pos.end());
    std::map<std::pair<uint64_t, uint64_t>, uint64_t> last_n;
    for (size_t i = 0; i < rec->size(); ++i) {
      const Id id = decode((*rec)[i].payload);
      auto key = std::make_pair(id.round, id.thread);
      if (last_n.count(key)) {
        ASSERT_LT(last_n[key], id.n) << "round " << round << " thread order " << encode(id);
      }
      last_n[key] = id.n;
      auto end = std::lower_bound(ack_pos.begin(), ack_pos.end(),
                                  std::make_pair(id.stamp, size_t{0}));
      for (auto it = ack_pos.begin(); it != end; ++it)
        ASSERT_LT(it->second, i) << "round " << round << ": " << encode(id)
                                 << " replays before ack " << it->first;
    }
  }
  std::printf("acknowledged %zu appends, %llu failed by injection\n", acked.size(),
              static_cast<unsigned long long>(total_failures));
  EXPECT_GT(acked.size(), static_cast<size_t>(kRounds));
  EXPECT_GT(total_failures, 0u);
  auto log = ShardedWal::open(wal, kShards, {});
  ASSERT_TRUE(log.ok()) << log.error().message();
}

}  // namespace
}  // namespace zv::wal
