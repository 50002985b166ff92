// A child process writes to one database folder across many rounds and is
// killed with SIGKILL at a random moment of each; after every kill the folder
// must reopen with every acknowledged call, the call in flight whole or not
// at all, and nothing else. ZV_KV_CRASH_ROUNDS raises the round count.
#include <chrono>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "morva/src/db.h"
#include "morva/src/testing/test_db.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/random.h"
#include "platform/testing/child_process.h"
#include "platform/testing/temp_dir.h"

namespace morva {
namespace {

using zv::testing::say;

constexpr int kDefaultRounds = 30;
constexpr const char* kChildEnv = "ZV_KV_CRASH_CHILD";
const std::vector<std::string> kCrashKeyspaces = {"a", "b", "c"};

// (keyspace, key) to value; a missing entry is an absent key.
using State = std::map<std::pair<std::string, std::string>, std::string>;

// One call the child announced: its effect on the state.
struct Call {
  std::map<std::pair<std::string, std::string>, std::optional<std::string>> effect;
};

// "I <n> <ks> <key> <value or -> ..." announces a call of n items (one item:
// a single-key write; more: a batch); "A" acknowledges it.
void child(const std::string& folder, int round, int fd, uint64_t seed) {
  auto db = Database::open(testing::busy_config(folder, 2));
  if (!db.ok()) {
    say(fd, "E open: " + db.error().to_string());
    ::_exit(1);
  }
  std::map<std::string, Keyspace> keyspaces;
  for (const std::string& name : kCrashKeyspaces) keyspaces.emplace(name, testing::open_keyspace(*db, name));
  say(fd, "R");
  std::mt19937_64 rng(seed);
  for (uint64_t n = 0;; ++n) {
    auto item = [&](std::string& line, const std::string** ks, std::string* key, std::string* value) {
      *ks = &kCrashKeyspaces[rng() % kCrashKeyspaces.size()];
      *key = "k" + std::to_string(rng() % 60);
      *value = rng() % 5 == 0 ? "-"
                              : "r" + std::to_string(round) + "n" + std::to_string(n) + "_" +
                                    std::string(rng() % 200, 'a' + static_cast<char>(rng() % 26));
      line += " " + **ks + " " + *key + " " + *value;
    };
    const uint64_t r = rng() % 10;
    MorvaStatus st;
    if (r < 5) {
      std::string line = "I 1";
      const std::string* ks;
      std::string key, value;
      item(line, &ks, &key, &value);
      say(fd, line);
      st = value == "-" ? keyspaces.at(*ks).remove(key) : keyspaces.at(*ks).insert(key, value);
    } else if (r < 9) {
      const uint64_t count = 2 + rng() % 6;
      std::string line = "I " + std::to_string(count);
      Batch batch = db->batch();
      for (uint64_t i = 0; i < count; ++i) {
        const std::string* ks;
        std::string key, value;
        item(line, &ks, &key, &value);
        if (value == "-") {
          batch.remove(keyspaces.at(*ks), key);
        } else {
          batch.insert(keyspaces.at(*ks), key, value);
        }
      }
      say(fd, line);
      st = batch.commit();
    } else {
      st = db->persist(PersistMode::kSyncAll);
      if (st.ok()) continue;
    }
    say(fd, st.ok() ? "A" : "E " + st.error().to_string());
  }
}

const bool kChildRan = [] {
  if (const char* v = std::getenv(kChildEnv)) {
    std::istringstream in(v);
    std::string folder;
    int round = 0, fd = -1;
    uint64_t seed = 0;
    in >> folder >> round >> fd >> seed;
    child(folder, round, fd, seed);
  }
  return false;
}();

Call parse_call(const std::string& line) {
  std::istringstream in(line.substr(2));
  size_t count = 0;
  in >> count;
  Call call;
  for (size_t i = 0; i < count; ++i) {
    std::string ks, key, value;
    in >> ks >> key >> value;
    call.effect[{ks, key}] = value == "-" ? std::nullopt : std::optional<std::string>(value);
  }
  return call;
}

void apply_call(State& state, const Call& call) {
  for (const auto& [where, value] : call.effect) {
    if (value) {
      state[where] = *value;
    } else {
      state.erase(where);
    }
  }
}

State read_state(const Database& db) {
  State out;
  for (const std::string& name : kCrashKeyspaces) {
    Keyspace ks = testing::open_keyspace(db, name);
    tervik::KvIter it = ks.tree().index().iter(db.visible_seqno());
    while (tervik::KvItem item = it.next()) {
      EXPECT_TRUE(item->ok());
      if (!item->ok()) break;
      out[{name, std::string((*item)->first.view())}] = std::string((*item)->second.view());
    }
  }
  return out;
}

int rounds() {
  if (auto v = zv::get_env_text("ZV_KV_CRASH_ROUNDS")) return std::max(1, std::atoi(v->c_str()));
  return kDefaultRounds;
}

TEST(RecoveryCrash, AcknowledgedCallsSurviveSigkill) {
  zv::testing::TempDir dir;
  const std::string folder = zv::fs::join(dir.path(), "db");
  const uint64_t seed = zv::os_random_u64();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  State expected;
  uint64_t acknowledged = 0, whole_in_flight = 0;
  for (int round = 0, total = rounds(); round < total; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const uint64_t child_seed = rng();
    zv::testing::ChildProcess c = zv::testing::spawn_self(kChildEnv, [&](int fd) {
      return folder + " " + std::to_string(round) + " " + std::to_string(fd) + " " + std::to_string(child_seed);
    });
    ASSERT_GE(c.pid, 0);
    std::string out;
    // One round in eight is killed while the child opens (and replays).
    if (rng() % 8 == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 30));
    } else {
      out = zv::testing::read_until_ready(c);
      std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 150));
    }
    const int status = zv::testing::kill_and_collect(c, out);
    ASSERT_FALSE(WIFEXITED(status)) << "the child ended by itself: " << out.substr(out.size() - std::min<size_t>(out.size(), 500));

    std::optional<Call> in_flight;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      ASSERT_NE(line.rfind("E", 0), 0u) << line;
      if (line.rfind("I ", 0) == 0) in_flight = parse_call(line);
      if (line == "A") {
        ASSERT_TRUE(in_flight.has_value());
        apply_call(expected, *in_flight);
        in_flight.reset();
        ++acknowledged;
      }
    }

    auto db = Database::open(testing::busy_config(folder, 1));
    ASSERT_TRUE(db.ok()) << db.error().to_string();
    const State got = read_state(*db);
    State with_call = expected;
    if (in_flight) apply_call(with_call, *in_flight);
    if (got == with_call && got != expected) ++whole_in_flight;
    // Either the call in flight is there whole, or not at all.
    if (got != with_call) {
      ASSERT_EQ(got, expected) << "lost, partial or foreign data";
    }
    expected = got;
    // Numbers go on above every stored one.
    for (const std::string& name : kCrashKeyspaces) {
      if (auto h = testing::open_keyspace(*db, name).tree().index().get_highest_seqno()) {
        ASSERT_GT(db->seqno(), *h) << name;
      }
    }
  }
  EXPECT_GT(acknowledged, 0u);
  // Rotations and journal deletions ran under the kills: the active journal
  // has a higher number than the count of journal files left.
  uint64_t highest_journal = 0;
  const auto names = zv::fs::list_dir(folder);
  for (const std::string& name : *names) {
    if (auto n = journal_file_number(name); n.ok()) highest_journal = std::max(highest_journal, *n);
  }
  EXPECT_GT(highest_journal + 1, testing::journal_file_count(folder));
  RecordProperty("acknowledged", std::to_string(acknowledged));
  RecordProperty("in_flight_kept", std::to_string(whole_in_flight));
}

}  // namespace
}  // namespace morva
