#include "src/wal/sharded_wal.h"

#include <gtest/gtest.h>

#include "platform/checksum.h"
#include "platform/coding.h"
#include "platform/log.h"
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

// An injected failure: the failed record is not replayed and later appends
// keep acknowledgement order. A failed write leaves a filler in its slot and
// the shard goes on; a failed sync stops the shard (its earlier unsynced
// pages may be gone) until a reopen, with the Wal error.
TEST(ShardedWal, FailedAppendsLeaveNothingAndKeepOrder) {
  struct Case {
    const char* name;
    FaultOp op;
    bool batch;
    ZolvaErrorKind kind;
  };
  const Case cases[] = {
      {"single, sync fails", FaultOp::kSync, false, ZolvaErrorKind::kWal},
      {"single, write fails", FaultOp::kWrite, false, ZolvaErrorKind::kIo},
      {"batch, second shard's sync fails", FaultOp::kSync, true, ZolvaErrorKind::kWal},
      {"batch, second shard's write fails", FaultOp::kWrite, true, ZolvaErrorKind::kIo},
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
    EXPECT_EQ(st.error().kind(), c.kind) << c.name;
    std::vector<std::string> acked = {payload_of(0)};
    for (int i = 1; i < 6; ++i) {
      auto r = log->append(payload_of(i));
      if (r.ok()) acked.push_back(payload_of(i));
      else EXPECT_EQ(r.error().kind(), ZolvaErrorKind::kWal) << c.name;
    }
    const bool stops = c.kind == ZolvaErrorKind::kWal;
    EXPECT_EQ(acked.size() < 6, stops) << c.name;
    EXPECT_EQ(recovered(w, 3), acked) << c.name;
    log.reset();
    log = open_log(w, 3);
    ASSERT_TRUE(log->append(payload_of(6)).ok());
    acked.push_back(payload_of(6));
    EXPECT_EQ(recovered(w, 3), acked) << c.name;
  }
}

// A shard stops when a sync fails, or when a failed write cannot even be
// replaced by a filler; the next append to it fails with the Wal error, the
// other shard goes on, and after a reopen exactly the records in the files
// are recovered.
TEST(ShardedWal, StoppedShardRefusesAppendsUntilReopen) {
  struct Case {
    const char* name;
    FaultOp op;
    uint64_t times;
  };
  const Case cases[] = {
      {"sync fails", FaultOp::kSync, 1},
      {"record and filler writes fail", FaultOp::kWrite, 2},
  };
  for (const Case& c : cases) {
    zv::testing::TempDir dir;
    const std::string w = fs::join(dir.path(), "zolva.wal");
    FaultyFileSystem fs;
    ShardedWalOptions o;
    o.fs = &fs;
    auto log = open_log(w, 2, o);
    fs.fail_nth(c.op, 1, c.times);
    ASSERT_FALSE(log->append(payload_of(90)).ok()) << c.name;
    ASSERT_TRUE(log->append(payload_of(0)).ok()) << c.name;  // shard 1
    auto st = log->append(payload_of(91));                      // shard 0 again
    ASSERT_FALSE(st.ok()) << c.name;
    EXPECT_EQ(st.error().kind(), ZolvaErrorKind::kWal) << c.name;
    ASSERT_TRUE(log->append(payload_of(1)).ok()) << c.name;
    log.reset();
    EXPECT_TRUE(testing::parse_frames(slurp(shard_path(2, w, 0)), 64).empty()) << c.name;
    EXPECT_EQ(testing::parse_frames(slurp(shard_path(2, w, 1)), 64).size(), 2u) << c.name;
    EXPECT_EQ(recovered(w, 2), range(0, 2)) << c.name;
    log = open_log(w, 2);
    ASSERT_TRUE(log->append(payload_of(2)).ok()) << c.name;
    EXPECT_EQ(recovered(w, 2), range(0, 3)) << c.name;
  }
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
  ASSERT_TRUE(log->checkpoint(log->positions_handed_out(), store).ok());
  EXPECT_EQ(stored, std::vector<uint64_t>{5});
  for (int i = 5; i < 12; ++i) ASSERT_TRUE(log->append(payload_of(i)).ok());  // shard 0: 356 bytes
  ASSERT_TRUE(log->checkpoint(log->positions_handed_out(), store).ok());
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
  ASSERT_FALSE(log->checkpoint(log->positions_handed_out(), failing_reset).ok());
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

CheckpointStore recording(std::vector<uint64_t>* stored) {
  return [stored](uint64_t cp) -> ZolvaStatus {
    stored->push_back(cp);
    return {};
  };
}

// A damaged record keeps its slot, so positions of its shard do not move:
// the checkpoint skips exactly what it covers and order holds across shards.
// With a damaged length field the count is a guess: that shard's records
// after the damage are replayed whatever the checkpoint, with an error event.
TEST(ShardedWal, DamagedRecordKeepsPositionsAndCheckpoint) {
  struct Case {
    const char* name;
    size_t offset;  // of the flipped byte in shard 0's second frame
    uint8_t mask;
    std::vector<std::string> replayed;
  };
  std::vector<std::string> guessed = {payload_of(4), payload_of(6), payload_of(8)};
  for (int i = 10; i < 14; ++i) guessed.push_back(payload_of(i));
  const Case cases[] = {
      {"payload byte", 4 + 2, 0x01, range(10, 14)},
      {"length field", 3, 0x80, guessed},
  };
  for (const Case& c : cases) {
    zv::testing::TempDir dir;
    const std::string w = fs::join(dir.path(), "zolva.wal");
    auto log = open_log(w, 2);
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(log->append(payload_of(i)).ok());
    std::vector<uint64_t> stored;
    ASSERT_TRUE(log->checkpoint(10, recording(&stored)).ok());
    EXPECT_EQ(stored, std::vector<uint64_t>{10});
    for (int i = 10; i < 14; ++i) ASSERT_TRUE(log->append(payload_of(i)).ok());
    log.reset();
    const std::string shard0 = shard_path(2, w, 0);
    std::string bytes = slurp(shard0);
    bytes[testing::parse_frames(bytes, 64)[1].offset + c.offset] ^= c.mask;
    spit(shard0, bytes);
    log::CaptureSink sink(log::Level::kError);
    EXPECT_EQ(recovered(w, 2, 10), c.replayed) << c.name;
    bool named = false;
    for (const auto& e : sink.events())
      for (const auto& [k, v] : e.fields) named = named || (k == "shard" && v == "0");
    EXPECT_EQ(named, c.replayed.size() > 4) << c.name;
    // The reopened writer counts the same slots: the next append follows.
    log = open_log(w, 2);
    ASSERT_TRUE(log->append(payload_of(14)).ok());
    log.reset();
    std::vector<std::string> more = c.replayed;
    more.push_back(payload_of(14));
    EXPECT_EQ(recovered(w, 2, 10), more) << c.name;
  }
}

// A stopped shard's buffer may hold acknowledged records that never reached
// the file: syncing the log reports it, and no checkpoint may follow.
TEST(ShardedWal, SyncAndCheckpointRefuseAStoppedShard) {
  zv::testing::TempDir dir;
  const std::string w = fs::join(dir.path(), "zolva.wal");
  FaultyFileSystem fs;
  ShardedWalOptions o;
  o.fs = &fs;
  o.sync_every = 4;
  auto log = open_log(w, 1, o);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(log->append(payload_of(i)).ok());
  fs.fail_nth(FaultOp::kWrite, 1, 2);  // the fourth record and its filler
  auto st = log->append(payload_of(90));
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), ZolvaErrorKind::kWal);
  auto synced = log->sync_and_reopen_all();
  ASSERT_FALSE(synced.ok());
  EXPECT_EQ(synced.error().kind(), ZolvaErrorKind::kWal);
  std::vector<uint64_t> stored;
  EXPECT_FALSE(log->checkpoint(3, recording(&stored)).ok());
  EXPECT_FALSE(log->checkpoint(0, recording(&stored)).ok());
  EXPECT_TRUE(stored.empty());
  log.reset();  // the buffered records reach the file as the writer closes
  EXPECT_EQ(recovered(w, 1), range(0, 3));
}

TEST(ShardedWal, CheckpointBeyondThePositionsHandedOutIsRefused) {
  zv::testing::TempDir dir;
  const std::string w = fs::join(dir.path(), "zolva.wal");
  auto log = open_log(w, 2);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(log->append(payload_of(i)).ok());
  EXPECT_EQ(log->positions_handed_out(), 3u);
  std::vector<uint64_t> stored;
  EXPECT_FALSE(log->checkpoint(4, recording(&stored)).ok());
  EXPECT_TRUE(log->checkpoint(2, recording(&stored)).ok());
  EXPECT_EQ(stored, std::vector<uint64_t>{2});
}

// The count file is written before the shards: a missing highest shard (a
// crash between a rotation's rename and its fresh file, or during the first
// creation) is created again instead of shrinking the log.
TEST(ShardedWal, MissingHighestShardIsCreatedAgain) {
  zv::testing::TempDir dir;
  const std::string w = fs::join(dir.path(), "zolva.wal");
  auto log = open_log(w, 3);
  for (int i = 0; i < 9; ++i) ASSERT_TRUE(log->append(payload_of(i)).ok());
  log.reset();
  ASSERT_TRUE(fs::rename(shard_path(3, w, 2), shard_path(3, w, 2) + ".away").ok());
  const std::vector<std::string> kept = {payload_of(0), payload_of(1), payload_of(3),
                                         payload_of(4), payload_of(6), payload_of(7)};
  EXPECT_EQ(recovered(w, 1), kept);
  log = open_log(w, 1);
  EXPECT_EQ(log->shard_count(), 3u);
  EXPECT_EQ(slurp(w + ".shards"), "3");
  EXPECT_TRUE(fs::exists(shard_path(3, w, 2)));
  ASSERT_TRUE(log->append(payload_of(9)).ok());
  log.reset();
  std::vector<std::string> all = kept;
  all.push_back(payload_of(9));
  EXPECT_EQ(recovered(w, 1), all);
}

// A rotation that fails part-way (a rename, or the fresh file after it)
// stops the log; the next open finds fewer positions than the stored
// checkpoint (or a shard missing), restarts positions and takes appends.
TEST(ShardedWal, FailedRotationStepReopensCleanly) {
  for (FaultOp op : {FaultOp::kRename, FaultOp::kOpen}) {
    for (uint64_t nth : {1, 2}) {
      const std::string name = std::to_string(static_cast<int>(op)) + "/" + std::to_string(nth);
      zv::testing::TempDir dir;
      const std::string w = fs::join(dir.path(), "zolva.wal");
      FaultyFileSystem fs;
      ShardedWalOptions o;
      o.fs = &fs;
      o.max_file_size = 200;
      auto log = open_log(w, 3, o);
      for (int i = 0; i < 12; ++i) ASSERT_TRUE(log->append(payload_of(i)).ok());
      fs.fail_nth(op, nth);
      std::vector<uint64_t> stored;
      EXPECT_FALSE(log->checkpoint(12, recording(&stored)).ok()) << name;
      EXPECT_EQ(stored, std::vector<uint64_t>{12}) << name;
      EXPECT_FALSE(log->append(payload_of(90)).ok()) << name;
      log.reset();
      EXPECT_TRUE(recovered(w, 3, 12).empty()) << name;
      // A rename that failed first left every file in place (the positions
      // go on); otherwise positions restart at 0.
      log = open_log(w, 3, {}, 12, recording(&stored));
      const bool untouched = op == FaultOp::kRename && nth == 1;
      EXPECT_EQ(stored, (untouched ? std::vector<uint64_t>{12} : std::vector<uint64_t>{12, 0}))
          << name;
      EXPECT_EQ(log->shard_count(), 3u) << name;
      ASSERT_TRUE(log->append(payload_of(12)).ok()) << name;
      log.reset();
      EXPECT_EQ(recovered(w, 3, stored.back()), range(12, 13)) << name;
    }
  }
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

// A user's text holding the complete frame of a Delete: after a crash cuts
// the record that carries it, the embedded frame is not replayed, and the
// reopened writer counts only the records written.
TEST(WalRecords, DeleteFrameInsideATornTextIsNotReplayed) {
  // A Delete whose frame is all ASCII, trailer included, so that the text
  // holding it is valid UTF-8.
  std::string frame;
  for (NodeId id = 1; frame.empty(); ++id) {
    const std::string payload = encode_wal_record(del(id));
    const uint32_t crc = crc32c(payload);
    std::string f;
    coding::put_u32_le(&f, static_cast<uint32_t>(payload.size()));
    f += payload;
    coding::put_u32_le(&f, crc);
    bool ascii = true;
    for (char ch : f) ascii = ascii && static_cast<unsigned char>(ch) < 0x80;
    if (ascii) frame = f + std::string(64, 'h');
  }
  zv::testing::TempDir dir;
  const std::string w = fs::join(dir.path(), "zolva.wal");
  EngineNode plain = EngineNode::create(1);
  EngineNode host = EngineNode::create(2);
  host.set_field("text", FieldValue::string(std::string(40, 'a') + frame + std::string(300, 'b')));
  {
    auto log = open_log(w, 1, sharded_wal_options(Config{}));
    ASSERT_TRUE(append_record(*log, WalInsert{plain}).ok());
    ASSERT_TRUE(append_record(*log, WalInsert{host}).ok());
  }
  const std::string whole = slurp(w);
  const size_t at = whole.find(frame);
  ASSERT_NE(at, std::string::npos);
  spit(w, whole.substr(0, at + frame.size() + 100));
  auto r = recover(w, 1, 0);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->size(), 1u);
  EXPECT_EQ(std::get<WalInsert>((*r)[0].record).node.id, 1u);
  WalWriterOptions wo;
  wo.validator = &wal_record_payload_valid;
  auto writer = WalWriter::open(w, wo);
  ASSERT_TRUE(writer.ok());
  EXPECT_EQ((*writer)->record_count(), 1u);
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
