// Reading back and repairing single log files built on disk.
#include <gtest/gtest.h>

#include "platform/coding.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"
#include "platform/testing/faulty_file_system.h"
#include "src/wal/testing/wal_test_util.h"
#include "src/wal/wal_reader.h"
#include "src/wal/wal_repair.h"
#include "src/wal/wal_writer.h"

namespace zv::wal {
namespace {

using zv::testing::FaultOp;
using zv::testing::FaultyFileSystem;
using testing::payload_of;
using testing::slurp;
using testing::spit;

// A version-3 file with these payloads, written by the writer.
std::string write_log(const std::string& path, int records) {
  auto w = WalWriter::open(path, {});
  EXPECT_TRUE(w.ok());
  for (int i = 0; i < records; ++i) EXPECT_TRUE((*w)->append(payload_of(i)).ok());
  w->reset();
  return slurp(path);
}

std::vector<std::string> read_all(const std::string& path, FileSystem& fs = FileSystem::os()) {
  auto reader = WalReader::open(fs, path, 4096, nullptr);
  EXPECT_TRUE(reader.ok());
  std::vector<std::string> out;
  std::string p;
  while (true) {
    auto got = reader->next(&p);
    EXPECT_TRUE(got.ok()) << (got.ok() ? "" : got.error().message());
    if (!got.ok() || !*got) break;
    out.push_back(p);
  }
  return out;
}

std::vector<std::string> payloads(std::initializer_list<int> ids) {
  std::vector<std::string> out;
  for (int i : ids) out.push_back(payload_of(i));
  return out;
}

constexpr size_t kFrame = 12 + 8 + 64;  // one payload_of() frame

TEST(WalRecovery, TornTailAtEveryByteIsCutAndQuarantined) {
  zv::testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "t.wal");
  const std::string whole = write_log(path, 3);
  const size_t last = 20 + 2 * kFrame;
  for (size_t cut = last + 1; cut < whole.size(); ++cut) {
    spit(path, whole.substr(0, cut));
    (void)fs::remove_file(path + ".corrupt");
    EXPECT_EQ(read_all(path), payloads({0, 1})) << cut;
    auto w = WalWriter::open(path, {});
    ASSERT_TRUE(w.ok()) << cut;
    EXPECT_EQ((*w)->record_count(), 2u) << cut;
    EXPECT_EQ(slurp(path + ".corrupt"), whole.substr(last, cut - last)) << cut;
    ASSERT_TRUE((*w)->append(payload_of(7)).ok());
    w->reset();
    const std::string after = slurp(path);
    EXPECT_EQ(after.substr(0, last), whole.substr(0, last)) << cut;  // starts where the torn one did
    EXPECT_EQ(read_all(path), payloads({0, 1, 7})) << cut;
  }
}

TEST(WalRecovery, FlippedBitInTheMiddleIsSkippedByScanForward) {
  zv::testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "m.wal");
  std::string bytes = write_log(path, 3);
  bytes[20 + kFrame + 6] ^= 0x10;  // a payload byte of the middle record
  spit(path, bytes);
  log::CaptureSink sink(log::Level::kWarn);
  EXPECT_EQ(read_all(path), payloads({0, 2}));
  bool skipped_exactly = false;
  for (const auto& e : sink.events()) {
    for (const auto& [k, v] : e.fields)
      if (k == "corrupt_bytes_skipped" && v == std::to_string(kFrame)) skipped_exactly = true;
  }
  EXPECT_TRUE(skipped_exactly);
  auto end = find_valid_end(FileSystem::os(), path, bytes.size(), 64, nullptr);
  ASSERT_TRUE(end.ok());
  EXPECT_EQ(end->end, bytes.size());  // nothing to cut
  EXPECT_EQ(end->records, 2u);
}

TEST(WalRecovery, LengthBounds) {
  struct Case {
    const char* name;
    uint32_t length;
    size_t payload_bytes;  // bytes actually present
    bool valid;
  };
  const Case cases[] = {
      {"zero", 0, 0, false},
      {"above limit", kMaxPayloadSize + 1, kMaxPayloadSize + 1, false},
      {"at limit", kMaxPayloadSize, kMaxPayloadSize, true},
      {"past the end", 100, 60, false},
  };
  zv::testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "l.wal");
  const std::string header = write_log(path, 0);
  for (const Case& c : cases) {
    std::string file = header;
    std::string payload(c.payload_bytes, 'p');
    coding::put_u32_le(&file, c.length);
    file += payload;
    coding::put_u32_le(&file, crc32c(payload));
    file += std::string(64, '\0');
    spit(path, file);
    EXPECT_EQ(read_all(path).size(), c.valid ? 1u : 0u) << c.name;
    auto end = find_valid_end(FileSystem::os(), path, file.size(), 64, nullptr);
    ASSERT_TRUE(end.ok());
    EXPECT_EQ(end->end, c.valid ? file.size() : 20u) << c.name;
  }
}

TEST(WalRecovery, EmptyLogAndShortLengthTail) {
  zv::testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "e.wal");
  std::string bytes = write_log(path, 1);
  spit(path, bytes.substr(0, 20));
  EXPECT_TRUE(read_all(path).empty());
  spit(path, bytes + "abc");
  EXPECT_EQ(read_all(path), payloads({0}));
  ASSERT_TRUE(WalWriter::open(path, {}).ok());
  EXPECT_EQ(slurp(path), bytes);
  EXPECT_EQ(slurp(path + ".corrupt"), "abc");
}

TEST(WalRecovery, QuarantineNamesCountUp) {
  zv::testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "q.wal");
  const std::string good = write_log(path, 1);
  const std::string names[] = {path + ".corrupt", path + ".corrupt.1", path + ".corrupt.2"};
  for (int round = 0; round < 3; ++round) {
    spit(path, good + "tail" + std::to_string(round));
    ASSERT_TRUE(WalWriter::open(path, {}).ok());
    EXPECT_EQ(slurp(names[round]), "tail" + std::to_string(round)) << round;
  }
  for (int i = 3; i <= 999; ++i) spit(path + ".corrupt." + std::to_string(i), "x");
  EXPECT_EQ(quarantine_path(FileSystem::os(), path), path + ".corrupt");  // all taken: the plain name again
  (void)fs::remove_file(path + ".corrupt.500");
  EXPECT_EQ(quarantine_path(FileSystem::os(), path), path + ".corrupt.500");
}

// Only the end of the file may end a scan: a failing read fails the open and
// cuts nothing, and fails the reader without skipping records.
TEST(WalRecovery, ReadErrorsFailInsteadOfTruncating) {
  zv::testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "io.wal");
  std::string bytes = write_log(path, 3);
  bytes += "torn";
  spit(path, bytes);
  FaultyFileSystem fs;
  WalWriterOptions o;
  o.fs = &fs;
  o.buffer_size = 1024;
  {
    const int nth = 2;  // the valid-end scan's read, after the header's
    fs.fail_nth(FaultOp::kRead, nth);
    auto w = WalWriter::open(path, o);
    ASSERT_FALSE(w.ok()) << nth;
    EXPECT_EQ(w.error().kind(), ZolvaErrorKind::kIo) << nth;
    EXPECT_EQ(slurp(path), bytes) << nth;
    EXPECT_FALSE(fs::exists(path + ".corrupt")) << nth;
  }
  fs.clear();
  auto reader = WalReader::open(fs, path, 16, nullptr);  // tiny window: a read per frame
  ASSERT_TRUE(reader.ok());
  std::string p;
  ASSERT_TRUE(*reader->next(&p));
  fs.fail_nth(FaultOp::kRead, 1);
  auto got = reader->next(&p);
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().kind(), ZolvaErrorKind::kIo);
  ASSERT_TRUE(*reader->next(&p));  // the same record, not skipped
  EXPECT_EQ(p, payload_of(1));
}

}  // namespace
}  // namespace zv::wal
