// Crash test of put and delete: a child process opens a directory-mode
// database through the SDK (the durable test backend, which keeps nothing
// between flushes, so every open replays the log and finds the derived,
// text and sparse indexes stale), runs puts, updates and deletes of a few
// hundred keys with audit logging on, and is killed with SIGKILL at a random
// moment; 30 rounds on the same database. After every kill the database is
// opened again as a user would: every acknowledged put reads back with its
// version and payload, every acknowledged delete reads none, and after the
// open's index check the text statistics equal a recount. Only the key of
// the write in flight may go either way.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/random.h"
#include "platform/testing/temp_dir.h"
#include "src/backends/testing/durable_test_backend.h"
#include "src/sdk/embedded_db.h"
#include "src/sdk/testing/indexed_writes.h"
#include "src/storage/testing/crash_child.h"

namespace zv {
namespace {

using testing::say;

constexpr int kCrashRounds = 30;
constexpr uint32_t kCrashKeys = 300;
constexpr size_t kCrashDims = 16;

// The payload of a put numbered n: its number of distinct tokens changes
// from one put to the next (the open's index check compares counts only).
std::string crash_payload(uint64_t n) {
  std::string out = "p" + std::to_string(n);
  for (uint64_t i = 0; i < n % 6; ++i) out += " w" + std::to_string((n + i) % 11);
  return out;
}

std::vector<float> crash_vector(uint64_t n) {
  std::vector<float> v(kCrashDims);
  for (size_t i = 0; i < kCrashDims; ++i) v[i] = 1.0f + static_cast<float>((n + i) % 7);
  return v;
}

std::string crash_key(uint32_t k) { return "key" + std::to_string(k); }

Config crash_db_config(const std::string& dir) {
  Config c;
  c.storage_path = fs::join(dir, "db");
  c.backend = BackendKind::kMorva;  // the durable test backend under its kind
  c.audit_log_path = fs::join(dir, "audit.log");
  c.memory_pressure_ratio = 0;
  return c;
}

ZolvaResult<EmbeddedDb> open_crash_db(const std::string& dir) {
  EngineOpenSeams seams;
  seams.factories = testing::durable_factory_table();
  return EmbeddedDb::open_with_config(crash_db_config(dir), seams);
}

// Lines: "R" once open; "I p <key> <n>" before the put of payload n, then
// "A <version>"; "I d <key>" before a delete, then "A <0|1>"; "E <text>"
// after a failure.
[[noreturn]] void crash_child(const std::string& dir, int round, int fd, uint64_t seed) {
  auto opened = open_crash_db(dir);
  if (!opened.ok()) {
    say(fd, "E " + opened.error().message());
    ::_exit(1);
  }
  const EmbeddedDb db = std::move(opened.value());
  say(fd, "R");
  std::mt19937_64 rng(seed);
  uint64_t n = static_cast<uint64_t>(round) * 1'000'000;
  for (;;) {
    const std::string key = crash_key(static_cast<uint32_t>(rng() % kCrashKeys));
    if (rng() % 5 == 0) {
      say(fd, "I d " + key);
      auto r = db.del("ns", key);
      say(fd, r.ok() ? "A " + std::to_string(*r ? 1 : 0) : "E " + r.error().message());
      continue;
    }
    ++n;
    say(fd, "I p " + key + " " + std::to_string(n));
    MemoryInput in;
    in.ns = "ns";
    in.key = key;
    in.payload = crash_payload(n);
    in.vector = crash_vector(n);
    in.metadata = {{"g", FieldValue::integer(static_cast<int64_t>(n % 4))}};
    auto r = db.put(std::move(in));
    say(fd, r.ok() ? "A " + std::to_string(r->version) : "E " + r.error().message());
  }
}

constexpr const char* kCrashChildEnv = "ZV_MEMORY_CRASH_CHILD";
const bool kCrashChildRan = [] {
  if (const char* v = std::getenv(kCrashChildEnv)) {
    std::istringstream in(v);
    std::string dir;
    int round = 0, fd = -1;
    uint64_t seed = 0;
    in >> dir >> round >> fd >> seed;
    crash_child(dir, round, fd, seed);
  }
  return false;
}();

// What the acknowledged writes leave under a key: absent, or a version with
// the payload number.
struct Expected {
  bool present = false;
  uint64_t version = 0;
  uint64_t payload = 0;
};

TEST(MemoryCrash, AcknowledgedPutsAndDeletesSurviveSigkill) {
  testing::TempDir dir;
  const uint64_t seed = os_random_u64();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  std::map<std::string, Expected> expected;
  std::set<std::string> in_flight;
  uint64_t acked = 0;
  for (int round = 0; round < kCrashRounds; ++round) {
    const uint64_t child_seed = rng();
    testing::ChildProcess c = testing::spawn_self(kCrashChildEnv, [&](int fd) {
      return dir.path() + " " + std::to_string(round) + " " + std::to_string(fd) + " " +
             std::to_string(child_seed);
    });
    ASSERT_GE(c.pid, 0);
    std::string out = testing::read_until_ready(c);
    sleep_ms(20 + rng() % 150);
    const int status = testing::kill_and_collect(c, out);
    ASSERT_FALSE(WIFEXITED(status)) << "round " << round << ": the child ended by itself: " << out;

    std::istringstream lines(out);
    std::string line;
    std::optional<std::pair<std::string, std::string>> pending;  // key, "d" or payload number
    while (std::getline(lines, line)) {
      if (line.rfind("E", 0) == 0) FAIL() << "round " << round << ": " << line;
      if (line.rfind("I ", 0) == 0) {
        std::istringstream in(line.substr(4));
        std::string key, n;
        in >> key >> n;
        pending = {key, line[2] == 'd' ? "d" : n};
      } else if (line.rfind("A ", 0) == 0 && pending) {
        const uint64_t value = std::stoull(line.substr(2));
        Expected& e = expected[pending->first];
        if (pending->second == "d") {
          if (value == 1) {
            EXPECT_TRUE(e.present || in_flight.count(pending->first)) << line;
          }
          e = Expected{};
        } else {
          e = Expected{true, value, std::stoull(pending->second)};
        }
        in_flight.erase(pending->first);
        ++acked;
        pending.reset();
      }
    }
    if (pending) in_flight.insert(pending->first);

    auto opened = open_crash_db(dir.path());
    ASSERT_TRUE(opened.ok()) << "round " << round << ": " << opened.error().message();
    const EmbeddedDb db = std::move(opened.value());
    for (const auto& [key, want] : expected) {
      if (in_flight.count(key)) continue;
      auto got = db.get("ns", key);
      ASSERT_TRUE(got.ok()) << got.error().message();
      ASSERT_EQ(got->has_value(), want.present) << "round " << round << ": " << key;
      if (want.present) {
        EXPECT_EQ((*got)->version, want.version) << "round " << round << ": " << key;
        EXPECT_EQ((*got)->payload, crash_payload(want.payload)) << "round " << round << ": " << key;
      }
    }
    auto engine = db.engine();
    ASSERT_TRUE(engine.ok());
    sdk_testing::expect_indexes_match_records(**engine);
    engine->reset();
    ASSERT_TRUE(db.close().ok());
    if (HasFailure()) {
      ADD_FAILURE() << "the child's last lines:\n" << out.substr(out.size() > 600 ? out.size() - 600 : 0);
      return;
    }
  }
  EXPECT_GT(acked, 100u);  // the rounds did real work
  std::printf("memory crash test: %llu acknowledged writes\n",
              static_cast<unsigned long long>(acked));
}

}  // namespace
}  // namespace zv
