// The engine against a model of ordered maps, through writes, batches,
// snapshots, background flushes, journal rotations and deletions,
// compactions, and reopens of the folder.
#include <map>
#include <random>

#include <gtest/gtest.h>

#include "morva/src/db.h"
#include "morva/src/testing/test_db.h"
#include "platform/fs.h"
#include "platform/testing/temp_dir.h"

namespace morva {
namespace {

using Contents = std::map<std::string, std::string>;
using Model = std::map<std::string, Contents>;  // keyspace name to contents

const std::vector<std::string> kKeyspaces = {"a", "b", "c"};

Contents contents_at(const Keyspace& ks, tervik::SeqNo seqno) {
  Contents out;
  tervik::KvIter it = ks.tree().index().iter(seqno);
  while (tervik::KvItem item = it.next()) {
    EXPECT_TRUE(item->ok());
    if (!item->ok()) break;
    out.emplace(std::string((*item)->first.view()), std::string((*item)->second.view()));
  }
  return out;
}

struct ModelRun {
  std::mt19937_64 rng;
  std::string folder;
  Model model;
  std::optional<Database> db;
  std::map<std::string, Keyspace> keyspaces;
  struct OpenSnapshot {
    Snapshot snapshot;
    Model model;
  };
  std::vector<OpenSnapshot> snapshots;
  uint64_t rotations_seen = 0;

  ModelRun(uint64_t seed, std::string f) : rng(seed), folder(std::move(f)) { open(); }

  void open() {
    auto opened = Database::open(testing::busy_config(folder, 2));
    ASSERT_TRUE(opened.ok()) << opened.error().to_string();
    db.emplace(std::move(opened).value());
    for (const std::string& name : kKeyspaces) keyspaces.insert_or_assign(name, testing::open_keyspace(*db, name));
  }
  void reopen() {
    snapshots.clear();
    keyspaces.clear();
    db.reset();
    open();
  }

  std::string key() { return "key" + std::to_string(rng() % 40); }
  // Values with bytes that framing code might take for markers.
  std::string value() {
    std::string v(rng() % 120, '\0');
    for (char& c : v) c = static_cast<char>(rng() % 4 == 0 ? 0 : rng());
    return v;
  }
  const std::string& keyspace_name() { return kKeyspaces[rng() % kKeyspaces.size()]; }

  void step() {
    const uint64_t r = rng() % 100;
    if (r < 45) {
      const std::string& ks = keyspace_name();
      const std::string k = key(), v = value();
      ASSERT_TRUE(keyspaces.at(ks).insert(k, v).ok());
      model[ks][k] = v;
    } else if (r < 60) {
      const std::string& ks = keyspace_name();
      const std::string k = key();
      ASSERT_TRUE(keyspaces.at(ks).remove(k).ok());
      model[ks].erase(k);
    } else if (r < 80) {
      Batch batch = db->batch();
      Model after = model;
      for (uint64_t n = 1 + rng() % 6; n > 0; --n) {
        const std::string& ks = keyspace_name();
        const std::string k = key();
        for (int twice = rng() % 4 == 0 ? 2 : 1; twice > 0; --twice) {
          if (rng() % 4 == 0) {
            batch.remove(keyspaces.at(ks), k);
            after[ks].erase(k);
          } else {
            const std::string v = value();
            batch.insert(keyspaces.at(ks), k, v);
            after[ks][k] = v;
          }
        }
      }
      ASSERT_TRUE(batch.commit().ok());
      model = std::move(after);
    } else if (r < 84) {
      if (snapshots.size() < 3) snapshots.push_back({db->state()->ctx->snapshots->open(), model});
    } else if (r < 92) {
      if (!snapshots.empty()) {
        const size_t i = rng() % snapshots.size();
        check(snapshots[i].snapshot.seqno(), snapshots[i].model, "snapshot");
        if (rng() % 2 == 0) snapshots.erase(snapshots.begin() + i);
      }
    } else if (r < 93) {
      reopen();
      check(db->visible_seqno(), model, "after reopen");
    }
  }

  void check(tervik::SeqNo seqno, const Model& expected, const char* when) {
    for (const std::string& name : kKeyspaces) {
      const Keyspace& ks = keyspaces.at(name);
      auto it = expected.find(name);
      const Contents want = it == expected.end() ? Contents() : it->second;
      ASSERT_EQ(contents_at(ks, seqno), want) << when << ", keyspace " << name << " at " << seqno;
      for (int i = 0; i < 5; ++i) {
        const std::string k = key();
        auto got = ks.get(k, seqno);
        ASSERT_TRUE(got.ok());
        auto w = want.find(k);
        ASSERT_EQ(*got, w == want.end() ? std::nullopt : std::optional<std::string>(w->second))
            << when << ", keyspace " << name << " key " << k << " at " << seqno;
      }
    }
  }
};

TEST(RecoveryModel, EngineMatchesOrderedMapsAcrossReopens) {
  size_t journal_files_seen = 0, runs_seen = 0;
  for (uint64_t seed : {1, 2, 3}) {
    SCOPED_TRACE(seed);
    zv::testing::TempDir dir;
    ModelRun run(seed, zv::fs::join(dir.path(), "db"));
    for (int i = 0; i < 1500 && !::testing::Test::HasFatalFailure(); ++i) {
      run.step();
      if (::testing::Test::HasFatalFailure()) break;
      run.check(run.db->visible_seqno(), run.model, "after step");
      journal_files_seen = std::max(journal_files_seen, testing::journal_file_count(run.folder));
      for (const auto& [name, ks] : run.keyspaces) runs_seen = std::max(runs_seen, ks.tree().index().l0_run_count());
    }
    ASSERT_FALSE(run.db->is_poisoned());
    run.reopen();
    run.check(run.db->visible_seqno(), run.model, "final reopen");
  }
  // The run is only worth something when maintenance happened under it.
  EXPECT_GE(journal_files_seen, 2u);
  EXPECT_GE(runs_seen, 1u);
}

}  // namespace
}  // namespace morva
