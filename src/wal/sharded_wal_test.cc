#include "src/wal/sharded_wal.h"

#include <gtest/gtest.h>

#include "platform/testing/temp_dir.h"
#include "platform/testing/faulty_file_system.h"
#include "src/wal/testing/wal_test_util.h"
#include "src/wal/wal_reader.h"
#include "src/wal/wal_records.h"
#include "src/wal/wal_recovery.h"
#include "src/wal/wal_shard_files.h"
#include "src/wal/wal_writer.h"

namespace zv::wal {
namespace {

using zv::testing::FaultOp;
using zv::testing::FaultyFileSystem;
using testing::payload_of;
using testing::slurp;
using testing::spit;

std::unique_ptr<ShardedWal> open_log(const std::string& w, uint64_t shards,
                                     ShardedWalOptions o = {}, uint64_t checkpoint = 0,
                                     const CheckpointStore& store = nullptr) {
  auto r = ShardedWal::open(w, shards, o, checkpoint, store);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? std::move(r).value() : nullptr;
}

std::vector<std::string> recovered(const std::string& w, uint64_t shards, uint64_t checkpoint = 0) {
  auto r = recover_payloads(w, shards, checkpoint);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  std::vector<std::string> out;
  if (r.ok())
    for (auto& p : *r) out.push_back(p.payload);
  return out;
}

std::vector<std::string> range(int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i < to; ++i) out.push_back(payload_of(i));
  return out;
}

uint64_t records_in(const std::string& path) {
  auto w = WalWriter::open(path, {});
  return w.ok() ? (*w)->record_count() : 999;
}

TEST(ShardFiles, NamesCountsAndRoundRobinCheck) {
  EXPECT_EQ(shard_path(4, "/d/zolva.wal", 2), "/d/zolva.shard2.wal");
  EXPECT_EQ(shard_path(1, "/d/zolva.wal", 0), "/d/zolva.wal");
  EXPECT_EQ(shard_path(0, "/d/zolva.wal", 0), "/d/zolva.wal");
  EXPECT_EQ(shard_path(3, "/d/log", 1), "/d/log.shard1");
  EXPECT_EQ(shard_path(3, "/d/.log", 1), "/d/.log.shard1");
  EXPECT_EQ(shard_path(3, "/d/a.b.", 0), "/d/a.b.shard0.");
  EXPECT_EQ(shard_path(2, "zolva.wal", 1), "zolva.shard1.wal");

  zv::testing::TempDir dir;
  const std::string w = fs::join(dir.path(), "zolva.wal");
  EXPECT_EQ(detect_shard_count(FileSystem::os(), w), std::nullopt);
  for (const char* name : {"zolva.shard0.wal", "zolva.shard+5.wal", "zolva.shard.wal",
                           "zolva.shard7.wal.corrupt", "zolva.shardx.wal"})
    spit(fs::join(dir.path(), name), "");
  EXPECT_EQ(detect_shard_count(FileSystem::os(), w), 6u);
  {
    auto log = open_log(w, 4);  // the files decide: 6 shards, missing ones created
    EXPECT_EQ(log->shard_count(), 6u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(slurp(shard_path(6, w, i)).size(), 20u) << i;
    EXPECT_EQ(slurp(w + ".shards"), "6");
  }
  EXPECT_TRUE(recovered(w, 4).empty());
  for (const char* text : {"4", " 4\n", "+4"}) {
    spit(w + ".shards", text);
    EXPECT_EQ(read_shard_count(FileSystem::os(), w), 4u) << text;
  }
  spit(w + ".shards", "-4");
  EXPECT_EQ(read_shard_count(FileSystem::os(), w), std::nullopt);

  EXPECT_EQ(check_round_robin_counts({3, 3, 2, 2}), std::nullopt);
  EXPECT_EQ(check_round_robin_counts({3, 1, 1, 1}),
            "WAL shard 1 is truncated: 1 durable records, but round-robin requires at least 2; "
            "aborting recovery instead of silently dropping data");
  EXPECT_EQ(check_round_robin_counts({2, 2, 3, 2}),
            "WAL shard 2 has 3 records, more than the 2 in shard 1; round-robin order broken "
            "(truncated tail); aborting recovery instead of silently dropping data");
}

TEST(ShardedWal, FreshLogRoundRobinAndReopen) {
  zv::testing::TempDir dir;
  const std::string w = fs::join(dir.path(), "zolva.wal");
  {
    auto log = open_log(w, 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(slurp(shard_path(4, w, i)).size(), 20u);
    EXPECT_EQ(slurp(w + ".shards"), "4");
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(log->append(payload_of(i)).ok());
    EXPECT_EQ(log->total_records(), 6u);
  }
  const uint64_t expect[] = {2, 2, 1, 1};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(records_in(shard_path(4, w, i)), expect[i]) << i;
  {
    auto log = open_log(w, 2);  // the files decide the count
    EXPECT_EQ(log->shard_count(), 4u);
    ASSERT_TRUE(log->append(payload_of(6)).ok());
  }
  EXPECT_EQ(records_in(shard_path(4, w, 2)), 2u);
  EXPECT_EQ(recovered(w, 4), range(0, 7));
  EXPECT_EQ(recovered(w, 4, 6), range(6, 7));
  EXPECT_EQ(recovered(w, 0), range(0, 7));  // a configured count of 0 still replays
}

TEST(ShardedWal, SingleFileTakesPrecedence) {
  zv::testing::TempDir dir;
  const std::string w = fs::join(dir.path(), "zolva.wal");
  spit(w, "");
  spit(w + ".shards", "4");
  spit(shard_path(4, w, 1), "");
  { open_log(w, 0)->append(payload_of(0)).value(); }
  EXPECT_EQ(slurp(w + ".shards"), "1");
  EXPECT_EQ(recovered(w, 4), range(0, 1));
  EXPECT_EQ(recovered(w, 0), range(0, 1));
}

// Counts left out of round-robin order by a crash are replayed in position
// order, and reopening pads the short shards so new appends continue right.
TEST(ShardedWal, OutOfOrderCountsReplayAndArePadded) {
  struct Case {
    const char* name;
    std::vector<std::vector<int>> shards;  // positions held by each shard
    std::vector<int> replay;
  };
  const Case cases[] = {
      {"batch died after shards 0 and 1", {{0, 4, 8}, {1, 5, 9}, {2}, {3}}, {0, 1, 2, 3, 4, 5, 8, 9}},
      {"later position reached its shard first", {{0}, {1}, {}, {3}}, {0, 1, 3}},
      {"shard 0 missing", {{}, {1, 5}, {2}, {}}, {1, 2, 5}},
  };
  for (const Case& c : cases) {
    zv::testing::TempDir dir;
    const std::string w = fs::join(dir.path(), "zolva.wal");
    int next = 0;
    for (size_t i = 0; i < c.shards.size(); ++i) {
      if (c.shards[i].empty() && i == 0) continue;  // leave the file out
      auto writer = WalWriter::open(shard_path(4, w, i), {});
      ASSERT_TRUE(writer.ok());
      for (int pos : c.shards[i]) {
        ASSERT_TRUE((*writer)->append(payload_of(pos)).ok());
        next = std::max(next, pos + 1);
      }
    }
    std::vector<std::string> want;
    for (int pos : c.replay) want.push_back(payload_of(pos));
    EXPECT_EQ(recovered(w, 4), want) << c.name;
    {
      auto log = open_log(w, 4);
      EXPECT_EQ(log->total_records(), static_cast<uint64_t>(next)) << c.name;
      ASSERT_TRUE(log->append(payload_of(100)).ok());
    }
    want.push_back(payload_of(100));
    EXPECT_EQ(recovered(w, 4), want) << c.name;
    EXPECT_EQ(recovered(w, 4, next), std::vector<std::string>{payload_of(100)}) << c.name;
  }
}

TEST(ShardedWal, ZeroByteShardIsEmptyAndBadHeadersFailRecovery) {
  zv::testing::TempDir dir;
  const std::string w = fs::join(dir.path(), "zolva.wal");
  { open_log(w, 3)->append_batch(std::vector<std::string_view>{"a", "b", "c", "d"}).value(); }
  spit(shard_path(3, w, 2), "");
  EXPECT_EQ(recovered(w, 3), (std::vector<std::string>{"a", "b", "d"}));
  struct Case {
    std::string bytes;
    std::string message;
  };
  std::string bad_magic = WalHeader::make(3).encode();
  bad_magic[0] = 'X';
  const Case cases[] = {
      {"ZWAL", "WAL error: Failed to open WAL shard 2 during recovery: WAL file is truncated or "
               "too small for header"},
      {bad_magic, "WAL error: Failed to open WAL shard 2 during recovery: Incompatible binary "
                  "format: expected magic [90, 87, 65, 76], version 3, found magic [88, 87, 65, "
                  "76], version 3. Hint: WAL format: expected magic [90, 87, 65, 76], found [88, "
                  "87, 65, 76]"},
  };
  for (const Case& c : cases) {
    spit(shard_path(3, w, 2), c.bytes);
    auto r = recover_payloads(w, 3, 0);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), c.message);
  }
}

// An injected failure: the failed record is not replayed, its slot holds a
// filler, and later appends keep acknowledgement order.
TEST(ShardedWal, FailedAppendsLeaveNothingAndKeepOrder) {
  struct Case {
    const char* name;
    FaultOp op;
    bool batch;
  };
  const Case cases[] = {
      {"single, sync fails", FaultOp::kSync, false},
      {"single, write fails", FaultOp::kWrite, false},
      {"batch, second shard fails", FaultOp::kSync, true},
  };
  for (const Case& c : cases) {
    zv::testing::TempDir dir;
    const std::string w = fs::join(dir.path(), "zolva.wal");
    FaultyFileSystem fs;
    ShardedWalOptions o;
    o.fs = &fs;
    auto log = open_log(w, 3, o);
    ASSERT_TRUE(log->append(payload_of(0)).ok());
    fs.fail_nth(c.op, c.batch ? 2 : 1);
    std::vector<std::string> failed = {payload_of(90), payload_of(91), payload_of(92),
                                       payload_of(93)};
    std::vector<std::string_view> views(failed.begin(), failed.end());
    auto st = c.batch ? log->append_batch(views) : log->append(views[0]);
    ASSERT_FALSE(st.ok()) << c.name;
    EXPECT_EQ(st.error().kind(), ZolvaErrorKind::kIo) << c.name;
    for (int i = 1; i < 6; ++i) ASSERT_TRUE(log->append(payload_of(i)).ok()) << c.name;
    EXPECT_EQ(recovered(w, 3), range(0, 6)) << c.name;
    log.reset();
    log = open_log(w, 3);
    ASSERT_TRUE(log->append(payload_of(6)).ok());
    EXPECT_EQ(recovered(w, 3), range(0, 7)) << c.name;
  }
}

TEST(ShardedWal, ShardThatCannotTakeAFillerStopsUntilReopen) {
  zv::testing::TempDir dir;
  const std::string w = fs::join(dir.path(), "zolva.wal");
  FaultyFileSystem fs;
  ShardedWalOptions o;
  o.fs = &fs;
  auto log = open_log(w, 2, o);
  fs.fail_nth(FaultOp::kSync, 1, 2);  // the record and its filler
  ASSERT_FALSE(log->append(payload_of(90)).ok());
  ASSERT_TRUE(log->append(payload_of(0)).ok());  // shard 1
  auto st = log->append(payload_of(91));          // shard 0 again
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), ZolvaErrorKind::kWal);
  ASSERT_TRUE(log->append(payload_of(1)).ok());
  log.reset();
  EXPECT_EQ(recovered(w, 2), range(0, 2));
  log = open_log(w, 2);
  ASSERT_TRUE(log->append(payload_of(2)).ok());
  EXPECT_EQ(recovered(w, 2), range(0, 3));
}

TEST(ShardedWal, BatchPlacementAndSyncAndReopen) {
  zv::testing::TempDir dir;
  const std::string w = fs::join(dir.path(), "zolva.wal");
  auto log = open_log(w, 4);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(log->append(payload_of(i)).ok());
  std::vector<std::string> batch = range(3, 8);
  std::vector<std::string_view> views(batch.begin(), batch.end());
  ASSERT_TRUE(log->append_batch(views).ok());
  const uint64_t expect[] = {2, 2, 2, 2};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(records_in(shard_path(4, w, i)), expect[i]) << i;
  // A refused record takes no position: the next one still lands in order.
  const std::string too_large(kMaxPayloadSize + 1, 'x');
  EXPECT_EQ(log->append(too_large).error().kind(), ZolvaErrorKind::kValidation);
  std::string_view refused[] = {"fine", too_large};
  EXPECT_EQ(log->append_batch(refused).error().kind(), ZolvaErrorKind::kValidation);
  EXPECT_EQ(log->total_records(), 8u);
  ASSERT_TRUE(log->sync_and_reopen_all().ok());
  ASSERT_TRUE(log->append(payload_of(8)).ok());
  EXPECT_EQ(records_in(shard_path(4, w, 0)), 3u);
  EXPECT_EQ(recovered(w, 4), range(0, 9));
}

// The log's side of a checkpoint: the stored value, rotation of all shards
// together, and an open that finds the rotation interrupted.
TEST(ShardedWal, CheckpointRotatesAllShardsTogether) {
  zv::testing::TempDir dir;
  const std::string w = fs::join(dir.path(), "zolva.wal");
  std::vector<uint64_t> stored;
  CheckpointStore store = [&](uint64_t cp) -> ZolvaStatus {
    stored.push_back(cp);
    return {};
  };
  ShardedWalOptions o;
  o.max_file_size = 350;
  auto log = open_log(w, 3, o);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(log->append(payload_of(i)).ok());
  ASSERT_TRUE(log->checkpoint(store).ok());
  EXPECT_EQ(stored, std::vector<uint64_t>{5});
  for (int i = 5; i < 12; ++i) ASSERT_TRUE(log->append(payload_of(i)).ok());  // shard 0: 356 bytes
  ASSERT_TRUE(log->checkpoint(store).ok());
  EXPECT_EQ(stored, (std::vector<uint64_t>{5, 12, 0}));
  EXPECT_EQ(log->total_records(), 0u);
  ASSERT_TRUE(log->append(payload_of(12)).ok());
  EXPECT_EQ(recovered(w, 3, 0), range(12, 13));
  log.reset();

  // Interrupted rotation: the shard of the last position went first; the
  // checkpoint still says 12. Nothing is replayed, and open restarts.
  zv::testing::TempDir dir2;
  const std::string w2 = fs::join(dir2.path(), "zolva.wal");
  log = open_log(w2, 3);
  for (int i = 0; i < 12; ++i) ASSERT_TRUE(log->append(payload_of(i)).ok());
  log.reset();
  (void)fs::rename(shard_path(3, w2, 2), shard_path(3, w2, 2) + ".123");
  spit(shard_path(3, w2, 2), WalHeader::make(3).encode());
  EXPECT_TRUE(recovered(w2, 3, 12).empty());
  // Without a store the positions could not restart: appends would be lost.
  EXPECT_EQ(ShardedWal::open(w2, 3, {}, 12).error().kind(), ZolvaErrorKind::kWal);
  stored.clear();
  log = open_log(w2, 3, {}, 12, store);
  EXPECT_EQ(stored, std::vector<uint64_t>{0});
  EXPECT_EQ(log->total_records(), 0u);
  ASSERT_TRUE(log->append(payload_of(50)).ok());
  EXPECT_EQ(recovered(w2, 3, 0), std::vector<std::string>{payload_of(50)});
}

// When the checkpoint cannot be reset after the files were archived, appends
// stop (recovery would skip them); the next open with the stale checkpoint
// resets it and appends resume.
TEST(ShardedWal, CheckpointResetFailureStopsAppendsUntilReopen) {
  zv::testing::TempDir dir;
  const std::string w = fs::join(dir.path(), "zolva.wal");
  std::vector<uint64_t> stored;
  CheckpointStore failing_reset = [&](uint64_t cp) -> ZolvaStatus {
    if (cp == 0) return make_unexpected(ZolvaError::wal("backend down"));
    stored.push_back(cp);
    return {};
  };
  ShardedWalOptions o;
  o.max_file_size = 100;
  auto log = open_log(w, 2, o);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(log->append(payload_of(i)).ok());
  ASSERT_FALSE(log->checkpoint(failing_reset).ok());
  EXPECT_EQ(stored, std::vector<uint64_t>{4});
  EXPECT_EQ(log->append(payload_of(4)).error().kind(), ZolvaErrorKind::kWal);
  log.reset();
  EXPECT_TRUE(recovered(w, 2, 4).empty());
  CheckpointStore store = [&](uint64_t cp) -> ZolvaStatus {
    stored.push_back(cp);
    return {};
  };
  log = open_log(w, 2, o, 4, store);
  EXPECT_EQ(stored, (std::vector<uint64_t>{4, 0}));
  ASSERT_TRUE(log->append(payload_of(5)).ok());
  EXPECT_EQ(recovered(w, 2, 0), std::vector<std::string>{payload_of(5)});
}

WalRecord del(NodeId id) { return WalDelete{id}; }

TEST(WalRecords, RecoverDecodesAndFiltersTransactions) {
  struct Case {
    const char* name;
    std::vector<WalRecord> log;
    std::vector<NodeId> kept_deletes;
    size_t kept;
  };
  const Case cases[] = {
      {"commit", {WalTxnBegin{7}, del(1), WalTxnCommit{7}}, {1}, 3},
      {"abort", {WalTxnBegin{7}, del(1), WalTxnAbort{7}}, {}, 0},
      {"nested begin", {WalTxnBegin{7}, del(1), WalTxnBegin{8}, del(2), WalTxnCommit{8}}, {2}, 3},
      {"unfinished", {del(3), WalTxnBegin{9}, del(4)}, {3}, 1},
      {"other id", {WalTxnBegin{7}, del(1), WalTxnCommit{6}, WalTxnAbort{7}, del(5)}, {5}, 1},
  };
  for (const Case& c : cases) {
    zv::testing::TempDir dir;
    const std::string w = fs::join(dir.path(), "zolva.wal");
    Config config;
    auto log = open_log(w, 2, sharded_wal_options(config));
    ASSERT_TRUE(append_records(*log, c.log).ok()) << c.name;
    log.reset();
    auto r = recover(w, 2, 0);
    ASSERT_TRUE(r.ok()) << c.name;
    EXPECT_EQ(r->size(), c.kept) << c.name;
    std::vector<NodeId> deletes;
    for (const auto& s : *r)
      if (auto* d = std::get_if<WalDelete>(&s.record)) deletes.push_back(d->id);
    EXPECT_EQ(deletes, c.kept_deletes) << c.name;
  }
}

TEST(WalRecords, FillerIsAReservedRecordAndGarbageIsNotReplayed) {
  auto filler = decode_wal_record(kFillerPayload);
  ASSERT_TRUE(filler.ok());
  EXPECT_EQ(wal_record_kind(*filler), WalRecordKind::kReserved5);
  zv::testing::TempDir dir;
  const std::string w = fs::join(dir.path(), "zolva.wal");
  {
    auto log = open_log(w, 1, sharded_wal_options(Config{}));
    ASSERT_TRUE(append_record(*log, del(11)).ok());
    ASSERT_TRUE(log->append("\x08").ok());  // frames fine, does not decode
    ASSERT_TRUE(append_record(*log, del(12)).ok());
  }
  auto r = recover(w, 1, 0);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->size(), 2u);
  EXPECT_EQ(std::get<WalDelete>((*r)[1].record).id, 12u);
}

}  // namespace
}  // namespace zv::wal
