#include "src/wal/wal_writer.h"

#include <gtest/gtest.h>

#include "platform/checksum.h"
#include "platform/coding.h"
#include "platform/testing/temp_dir.h"
#include "platform/testing/faulty_file_system.h"
#include "src/wal/testing/wal_test_util.h"
#include "src/wal/wal_reader.h"

namespace zv::wal {
namespace {

using zv::testing::FaultOp;
using zv::testing::FaultyFileSystem;
using testing::parse_frames;
using testing::payload_of;
using testing::slurp;
using testing::spit;

std::vector<std::string> read_written(const std::string& path) {
  auto reader = WalReader::open(FileSystem::os(), path, 65536, nullptr);
  EXPECT_TRUE(reader.ok());
  std::vector<std::string> out;
  std::string p;
  while (true) {
    auto got = reader->next(&p);
    EXPECT_TRUE(got.ok());
    if (!got.ok() || !*got) break;
    out.push_back(p);
  }
  return out;
}

std::unique_ptr<WalWriter> open_writer(const std::string& path, WalWriterOptions o = {}) {
  auto w = WalWriter::open(path, o);
  EXPECT_TRUE(w.ok()) << (w.ok() ? "" : w.error().message());
  return w.ok() ? std::move(w).value() : nullptr;
}

TEST(WalWriter, AppendBatchAndReopenContinueTheChain) {
  zv::testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "zolva.wal");
  {
    auto w = open_writer(path);
    EXPECT_EQ(slurp(path).size(), 20u);
    ASSERT_TRUE(w->append(payload_of(0)).ok());
    std::vector<std::string> batch = {payload_of(1), payload_of(2, 3000)};
    std::vector<std::string_view> views(batch.begin(), batch.end());
    ASSERT_TRUE(w->append_batch(views).ok());
    EXPECT_EQ(w->record_count(), 3u);
  }
  auto w = open_writer(path);
  EXPECT_EQ(w->record_count(), 3u);
  const ChainValue resumed = w->chain();
  ASSERT_TRUE(w->append(payload_of(3)).ok());
  w.reset();
  const auto frames = parse_frames(slurp(path), 64);
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0].prev_hash, std::string(32, '\0'));
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].payload, payload_of(static_cast<int>(i), i == 2 ? 3000 : 12)) << i;
    if (i > 0) {
      EXPECT_EQ(frames[i].prev_hash, frames[i - 1].hash) << i;
    }
  }
  EXPECT_EQ(frames[2].hash, std::string(reinterpret_cast<const char*>(resumed.data()), 32));
  EXPECT_EQ(read_written(path).size(), 4u);
}

TEST(WalWriter, OldVersionsContinueWithoutTrailers) {
  zv::testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "old.wal");
  std::string file = "ZWAL";
  coding::put_u16_le(&file, 2);
  coding::put_u16_le(&file, 1);
  coding::put_u64_le(&file, 5);
  coding::put_u32_le(&file, crc32c(file.data(), 16));
  spit(path, file);
  {
    auto w = open_writer(path);
    ASSERT_TRUE(w->append(payload_of(1)).ok());
  }
  EXPECT_EQ(slurp(path).size(), 20u + 12u + 8u);
  EXPECT_EQ(read_written(path), std::vector<std::string>{payload_of(1)});
}

TEST(WalWriter, OpenHandlesEmptyAndShortFiles) {
  zv::testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "w.wal");
  spit(path, "");
  EXPECT_TRUE(open_writer(path) != nullptr);
  EXPECT_EQ(slurp(path).size(), 20u);
  for (size_t len : {1u, 19u}) {
    spit(path, std::string(len, 'Z'));
    auto w = WalWriter::open(path, {});
    ASSERT_FALSE(w.ok()) << len;
    EXPECT_EQ(w.error().message(), "IO error: failed to fill whole buffer") << len;
    EXPECT_EQ(slurp(path).size(), len);
  }
}

TEST(WalWriter, SyncPolicyAndBufferClamp) {
  struct Case {
    const char* name;
    uint8_t mode;
    std::optional<uint64_t> every;
    int appends;
    uint64_t syncs;
  };
  const Case cases[] = {
      {"default every append", 1, std::nullopt, 6, 6},
      {"threshold 3", 1, 3, 7, 2},
      {"mode 0", 0, 3, 4, 4},
      {"never", 2, std::nullopt, 5, 0},
  };
  for (const Case& c : cases) {
    zv::testing::TempDir dir;
    FaultyFileSystem fs;
    WalWriterOptions o;
    o.sync_mode = c.mode;
    o.sync_every = c.every;
    o.fs = &fs;
    auto w = open_writer(fs::join(dir.path(), "s.wal"), o);
    const uint64_t base = fs.calls(FaultOp::kSync);  // the fresh header's sync
    for (int i = 0; i < c.appends; ++i) ASSERT_TRUE(w->append(payload_of(i)).ok());
    EXPECT_EQ(fs.calls(FaultOp::kSync) - base, c.syncs) << c.name;
  }
  zv::testing::TempDir dir;
  for (auto [requested, cap] : {std::pair<uint64_t, size_t>{0, 1024}, {500, 1024},
                                {100'000'000, 33'554'432}, {4096, 4096}}) {
    WalWriterOptions o;
    o.buffer_size = requested;
    EXPECT_EQ(open_writer(fs::join(dir.path(), "b.wal"), o)->buffer_capacity(), cap) << requested;
  }
}

TEST(WalWriter, RefusesRecordsNoReaderWouldAccept) {
  zv::testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "v.wal");
  auto w = open_writer(path);
  const std::string largest(kMaxPayloadSize, 'x');
  const std::string too_large(kMaxPayloadSize + 1, 'x');
  for (std::string_view bad : {std::string_view(too_large), std::string_view()}) {
    auto st = w->append(bad);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().kind(), ZolvaErrorKind::kValidation);
    std::string_view batch[] = {"ok", bad};
    EXPECT_EQ(w->append_batch(batch).error().kind(), ZolvaErrorKind::kValidation);
  }
  EXPECT_NE(w->append(too_large).error().message().find("too large for the write-ahead log"),
            std::string::npos);
  EXPECT_EQ(w->record_count(), 0u);
  EXPECT_EQ(slurp(path).size(), 20u);
  ASSERT_TRUE(w->append(largest).ok());
  w.reset();
  const auto back = read_written(path);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].size(), kMaxPayloadSize);
}

// A failed append leaves counters, chain and file as before, and frames that
// were buffered before it (acknowledged under a threshold) still reach the
// file.
TEST(WalWriter, FailedAppendRemovesOnlyItsOwnBytes) {
  struct Case {
    const char* name;
    FaultOp op;
    std::optional<uint64_t> every;
    bool batch;
    size_t size;
  };
  const Case cases[] = {
      {"sync fails", FaultOp::kSync, std::nullopt, false, 12},
      {"write fails", FaultOp::kWrite, std::nullopt, false, 12},
      {"write fails under threshold", FaultOp::kWrite, 3, false, 12},
      {"sync fails, batch", FaultOp::kSync, std::nullopt, true, 12},
      {"direct write of a large record fails", FaultOp::kWrite, 4, false, 70'000},
      {"sync fails under threshold", FaultOp::kSync, 3, true, 12},
  };
  for (const Case& c : cases) {
    zv::testing::TempDir dir;
    const std::string path = fs::join(dir.path(), "f.wal");
    FaultyFileSystem fs;
    WalWriterOptions o;
    o.sync_every = c.every;
    o.fs = &fs;
    auto w = open_writer(path, o);
    ASSERT_TRUE(w->append(payload_of(0)).ok());
    ASSERT_TRUE(w->append(payload_of(1)).ok());
    const auto before = w->mark();
    fs.fail_nth(c.op, 1);
    std::vector<std::string> failed = {payload_of(90, c.size), payload_of(91, c.size)};
    std::vector<std::string_view> views(failed.begin(), failed.end());
    auto st = c.batch ? w->append_batch(views) : w->append(views[0]);
    ASSERT_FALSE(st.ok()) << c.name;
    EXPECT_EQ(st.error().kind(), ZolvaErrorKind::kIo) << c.name;
    EXPECT_EQ(w->record_count(), before.record_count) << c.name;
    EXPECT_EQ(w->file_size(), before.file_size) << c.name;
    EXPECT_EQ(w->chain(), before.chain) << c.name;
    if (c.op == FaultOp::kSync) {
      // After a failed sync the file's content is unknown: the writer stops
      // until a reopen reads it again.
      auto refused = w->append(payload_of(2));
      ASSERT_FALSE(refused.ok()) << c.name;
      EXPECT_EQ(refused.error().kind(), ZolvaErrorKind::kWal) << c.name;
      w.reset();
      w = open_writer(path, {});
      EXPECT_EQ(w->record_count(), 2u) << c.name;
    }
    ASSERT_TRUE(w->append(payload_of(2)).ok()) << c.name;
    w.reset();
    EXPECT_EQ(read_written(path),
              (std::vector<std::string>{payload_of(0), payload_of(1), payload_of(2)}))
        << c.name;
    const auto frames = parse_frames(slurp(path), 64);
    ASSERT_EQ(frames.size(), 3u) << c.name;
    EXPECT_EQ(frames[2].prev_hash, frames[1].hash) << c.name;
  }
}

TEST(WalWriter, UndoableCutBackStopsTheWriter) {
  zv::testing::TempDir dir;
  FaultyFileSystem fs;
  WalWriterOptions o;
  o.fs = &fs;
  auto w = open_writer(fs::join(dir.path(), "b.wal"), o);
  fs.fail_nth(FaultOp::kSync, 1);
  fs.fail_nth(FaultOp::kSetLen, 1);
  ASSERT_FALSE(w->append(payload_of(1)).ok());
  auto st = w->append(payload_of(2));
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), ZolvaErrorKind::kWal);
}

TEST(WalWriter, RotatesIntoAFreshFile) {
  zv::testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "r.wal");
  WalWriterOptions o;
  o.max_file_size = 300;
  auto w = open_writer(path, o);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(w->append(payload_of(i)).ok());  // 20 + 3 * 84
  EXPECT_EQ(w->record_count(), 3u);
  ASSERT_TRUE(w->append(payload_of(3)).ok());  // reaches 356: rotates
  EXPECT_EQ(w->record_count(), 0u);
  EXPECT_EQ(w->chain(), ChainValue{});
  EXPECT_EQ(slurp(path).size(), 20u);
  auto names = fs::list_dir(dir.path());
  ASSERT_TRUE(names.ok());
  ASSERT_EQ(names->size(), 2u);
  const std::string archive = fs::join(dir.path(), (*names)[0] == "r.wal" ? (*names)[1] : (*names)[0]);
  EXPECT_EQ(archive.rfind(path + ".", 0), 0u);
  EXPECT_EQ(read_written(archive).size(), 4u);
}

// A rotation whose rename fails leaves the file where it was: the append
// that triggered it stands, the writer goes on, and a reopen has every
// record.
TEST(WalWriter, FailedRotationRenameKeepsEveryRecord) {
  zv::testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "r.wal");
  FaultyFileSystem fs;
  WalWriterOptions o;
  o.max_file_size = 300;
  o.fs = &fs;
  auto w = open_writer(path, o);
  fs.fail_nth(FaultOp::kRename, 1);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(w->append(payload_of(i)).ok());  // rotation fails
  EXPECT_EQ(w->record_count(), 4u);
  ASSERT_TRUE(w->append(payload_of(4)).ok());  // rotates now
  w.reset();
  auto names = fs::list_dir(dir.path());
  ASSERT_TRUE(names.ok());
  ASSERT_EQ(names->size(), 2u);
  const std::string archive = fs::join(dir.path(), (*names)[0] == "r.wal" ? (*names)[1] : (*names)[0]);
  EXPECT_EQ(read_written(archive),
            (std::vector<std::string>{payload_of(0), payload_of(1), payload_of(2), payload_of(3),
                                      payload_of(4)}));
}

}  // namespace
}  // namespace zv::wal
