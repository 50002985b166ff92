// Reading back and repairing single log files built on disk.
#include <optional>

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

// A damaged frame whose length is intact keeps its slot: the next record is
// read where the length says, and later records keep their slots, in the
// reader and in the valid-end scan alike. A damaged length field leaves the
// count to a byte-wise search, which the reader reports as uncertain.
TEST(WalRecovery, DamagedFramesKeepTheirSlots) {
  struct Case {
    const char* name;
    size_t offset;  // of the flipped byte, from the middle frame's start
    std::optional<uint64_t> uncertain;
  };
  const Case cases[] = {
      {"payload byte", 6, std::nullopt},
      {"crc byte", 4 + 12 + 1, std::nullopt},
      {"length field", 3, 20 + kFrame},
  };
  zv::testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "m.wal");
  const std::string whole = write_log(path, 3);
  for (const Case& c : cases) {
    std::string bytes = whole;
    bytes[20 + kFrame + c.offset] ^= 0x10;
    spit(path, bytes);
    auto reader = WalReader::open(FileSystem::os(), path, 4096, nullptr);
    ASSERT_TRUE(reader.ok());
    std::string p;
    std::vector<std::pair<uint64_t, std::string>> got;
    while (*reader->next(&p)) got.push_back({reader->slot(), p});
    const std::vector<std::pair<uint64_t, std::string>> want = {{0, payload_of(0)},
                                                                {2, payload_of(2)}};
    EXPECT_EQ(got, want) << c.name;
    EXPECT_EQ(reader->uncertain_from(), c.uncertain) << c.name;
    auto end = find_valid_end(FileSystem::os(), path, bytes.size(), 64, nullptr);
    ASSERT_TRUE(end.ok());
    EXPECT_EQ(end->end, bytes.size()) << c.name;  // nothing to cut
    EXPECT_EQ(end->records, 3u) << c.name;
  }
  // Damaged last frame: it keeps its slot and stays in the file.
  std::string bytes = whole;
  bytes[20 + 2 * kFrame + 6] ^= 0x10;
  spit(path, bytes);
  auto w = WalWriter::open(path, {});
  ASSERT_TRUE(w.ok());
  EXPECT_EQ((*w)->record_count(), 3u);
  EXPECT_EQ((*w)->file_size(), bytes.size());
}

// After a crash cuts a frame, a well-formed frame inside its payload is no
// record: the torn frame ends the log, for the reader and for the writer.
TEST(WalRecovery, FrameInsideATornPayloadIsNotARecord) {
  zv::testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "e.wal");
  std::string inner;
  {
    auto w = WalWriter::open(fs::join(dir.path(), "inner.wal"), {});
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE((*w)->append("DELETE 42").ok());
    w->reset();
    inner = slurp(fs::join(dir.path(), "inner.wal")).substr(20);
  }
  auto w = WalWriter::open(path, {});
  ASSERT_TRUE(w.ok());
  ASSERT_TRUE((*w)->append(payload_of(0)).ok());
  ASSERT_TRUE((*w)->append(std::string(50, 'a') + inner + std::string(500, 'b')).ok());
  w->reset();
  const std::string whole = slurp(path);
  const size_t embedded = whole.find(inner);
  ASSERT_NE(embedded, std::string::npos);
  for (size_t extra : {size_t{0}, size_t{1}, size_t{100}}) {
    const size_t cut = embedded + inner.size() + extra;
    spit(path, whole.substr(0, cut));
    EXPECT_EQ(read_all(path), payloads({0})) << extra;
    auto end = find_valid_end(FileSystem::os(), path, cut, 64, nullptr);
    ASSERT_TRUE(end.ok());
    EXPECT_EQ(end->end, 20 + kFrame) << extra;
    EXPECT_EQ(end->records, 1u) << extra;
  }
  auto reopened = WalWriter::open(path, {});
  ASSERT_TRUE(reopened.ok());
  EXPECT_EQ((*reopened)->record_count(), 1u);
  EXPECT_EQ(slurp(path).size(), 20 + kFrame);
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
