#include "morva/src/journal/reader.h"

#include <gtest/gtest.h>
#include <lz4hc.h>

#include "platform/testing/faulty_file_system.h"
#include "morva/src/testing/journal_bytes.h"
#include "platform/testing/temp_dir.h"
#include "tervik/block/block.h"

namespace morva {
namespace {

using zv::testing::FaultyFileSystem;
using zv::testing::FaultOp;
using testing::raw_batch;
using testing::RawItem;
using Mode = JournalBatchReader::Mode;

struct ReadBack {
  std::vector<JournalBatch> batches;
  std::optional<MorvaError> error;
};

class JournalReaderTest : public ::testing::Test {
 protected:

  ReadBack read(std::string_view bytes, Mode mode) {
    testing::write_all(path_, bytes);
    return read_again(mode);
  }
  ReadBack read_again(Mode mode) {
    ReadBack out;
    auto reader = JournalReader::open(fs_, path_);
    if (!reader.ok()) {
      out.error = std::move(reader).error();
      return out;
    }
    JournalBatchReader batches(std::move(reader).value(), mode);
    for (;;) {
      auto b = batches.next();
      if (!b.ok()) {
        out.error = std::move(b).error();
        return out;
      }
      if (!b->has_value()) return out;
      out.batches.push_back(std::move(**b));
    }
  }
  std::string file() const { return testing::read_all(path_); }

  zv::testing::TempDir dir_;
  FaultyFileSystem fs_;
  std::string path_ = zv::fs::join(dir_.path(), "3.jnl");
};

const std::string kB1 = raw_batch(1, {{1, "a", "one"}, {2, "b", "", tervik::ValueType::kTombstone}});
const std::string kB2 = raw_batch(2, {{1, "c", std::string(300, 'x')}});

std::string start(uint32_t n, uint64_t seqno) {
  std::string s;
  encode_journal_start(&s, n, seqno);
  return s;
}
std::string end_entry(uint64_t checksum) {
  std::string s;
  encode_journal_end(&s, checksum);
  return s;
}
std::string clear_entry(uint64_t ks) {
  std::string s;
  encode_journal_clear(&s, ks);
  return s;
}

TEST_F(JournalReaderTest, TornAndMalformedTailsAreCut) {
  const std::string item = testing::raw_item({1, "k", "v"});
  struct Case {
    std::string name;
    std::string bytes;
    size_t batches;
    size_t length_after;
  };
  const Case cases[] = {
      {"empty file", "", 0, 0},
      {"starts with a zero byte", std::string(500, '\0'), 0, 0},
      {"preallocated zero tail", kB1 + kB2 + std::string(70000, '\0'), 2, kB1.size() + kB2.size()},
      {"ends cleanly", kB1 + kB2, 2, kB1.size() + kB2.size()},
      {"start inside a batch", kB1 + start(2, 5) + item + kB2, 1, kB1.size()},
      {"item outside a batch", kB1 + item + kB2, 1, kB1.size()},
      {"clear outside a batch", kB1 + clear_entry(4) + kB2, 1, kB1.size()},
      {"end at offset 0", end_entry(0) + kB1, 0, 0},
      {"end outside a batch", kB1 + end_entry(0), 1, kB1.size()},
      {"torn last batch", kB1 + kB2.substr(0, kB2.size() - 5), 1, kB1.size()},
      {"two of three items", kB1 + start(3, 9) + item + item, 1, kB1.size()},
      {"unknown tag", kB1 + std::string(1, '\x09') + kB2, 1, kB1.size()},
  };
  for (Mode mode : {Mode::kSealed, Mode::kActive}) {
    for (const Case& c : cases) {
      ReadBack r = read(c.bytes, mode);
      ASSERT_FALSE(r.error) << c.name << ": " << r.error->debug_string();
      EXPECT_EQ(r.batches.size(), c.batches) << c.name;
      EXPECT_EQ(file().size(), c.length_after) << c.name;
      // Reading the cut file again returns the same and changes nothing.
      const std::string cut = file();
      ReadBack again = read_again(mode);
      EXPECT_FALSE(again.error) << c.name;
      EXPECT_EQ(again.batches.size(), c.batches) << c.name;
      EXPECT_EQ(file(), cut) << c.name;
    }
  }
}

TEST_F(JournalReaderTest, BatchContentsInJournalOrder) {
  const std::string bytes =
      kB1 + raw_batch(7, {{3, "same", "first"}, {3, "same", "second"}}) +
      start(2, 8) + testing::raw_item({5, "x", "y"}) + clear_entry(6) + [] {
        std::string body = testing::raw_item({5, "x", "y"}) + clear_entry(6);
        return end_entry(zv::xxh3_64(body.data(), body.size()));
      }();
  ReadBack r = read(bytes, Mode::kSealed);
  ASSERT_FALSE(r.error) << r.error->debug_string();
  ASSERT_EQ(r.batches.size(), 3u);
  EXPECT_EQ(r.batches[0].seqno, 1u);
  ASSERT_EQ(r.batches[0].items.size(), 2u);
  EXPECT_EQ(r.batches[0].items[1].value_type, tervik::ValueType::kTombstone);
  ASSERT_EQ(r.batches[1].items.size(), 2u);
  EXPECT_EQ(r.batches[1].items[0].value, "first");
  EXPECT_EQ(r.batches[1].items[1].value, "second");
  EXPECT_EQ(r.batches[1].seqno, 7u);
  EXPECT_EQ(r.batches[2].items.size(), 1u);
  EXPECT_EQ(r.batches[2].cleared_keyspaces, std::vector<uint64_t>{6});
}

struct BadBatch {
  std::string name;
  std::string bytes;
  std::string error;
};

std::vector<BadBatch> bad_batches() {
  const std::vector<RawItem> three = {{1, "a", "1"}, {1, "b", "2"}, {1, "c", "3"}};
  const std::vector<RawItem> two = {{1, "a", "1"}, {1, "b", "2"}};
  return {
      {"too many items", raw_batch(5, three, 2), "JournalRecovery(TooManyItems)"},
      {"too few items", raw_batch(5, two, 3), "JournalRecovery(InsufficientLength)"},
      {"checksum altered", raw_batch(5, two, -1, 1), "JournalRecovery(ChecksumMismatch)"},
      {"zeros inside a value", raw_batch(5, {{1, "k", std::string(40, 'v')}}, -1, 0), ""},
  };
}

// The hole a power loss leaves: zeros over part of a value, End intact.
std::string with_hole(std::string batch) {
  for (size_t i = 13 + 21 + 1 + 5; i < 13 + 21 + 1 + 25; ++i) batch[i] = '\0';
  return batch;
}

TEST_F(JournalReaderTest, StructurallyBadBatches) {
  auto cases = bad_batches();
  cases.back().bytes = with_hole(cases.back().bytes);
  cases.back().error = "JournalRecovery(ChecksumMismatch)";
  for (const BadBatch& c : cases) {
    // A sealed journal: an error wherever the batch is, the file unchanged.
    for (const std::string& tail : {std::string(), kB2, std::string(1000, '\0')}) {
      const std::string bytes = kB1 + c.bytes + tail;
      ReadBack r = read(bytes, Mode::kSealed);
      ASSERT_TRUE(r.error) << c.name;
      EXPECT_EQ(r.error->debug_string(), c.error) << c.name;
      EXPECT_EQ(r.batches.size(), 1u) << c.name;
      EXPECT_TRUE(file() == bytes) << c.name;
    }
    // The active journal with a batch that verifies after it: the same error.
    for (const std::string& between : {std::string(), with_hole(bad_batches().back().bytes)}) {
      const std::string bytes = kB1 + c.bytes + between + kB2 + std::string(100, '\0');
      ReadBack r = read(bytes, Mode::kActive);
      ASSERT_TRUE(r.error) << c.name;
      EXPECT_EQ(r.error->debug_string(), c.error) << c.name;
      EXPECT_TRUE(file() == bytes) << c.name;
    }
    // As the last batch of the active journal: a torn unsynced tail.
    for (const std::string& tail :
         {std::string(), std::string(1000, '\0'), kB2.substr(0, 20), start(1, 9) + "\x02"}) {
      ReadBack r = read(kB1 + c.bytes + tail, Mode::kActive);
      ASSERT_FALSE(r.error) << c.name << ": " << r.error->debug_string();
      EXPECT_EQ(r.batches.size(), 1u) << c.name;
      EXPECT_EQ(file(), kB1) << c.name;
    }
  }
}

TEST_F(JournalReaderTest, ReadErrorsOtherThanEndOfFileChangeNothing) {
  std::string bytes = kB1;
  while (bytes.size() < 3 * kJournalReadBufferSize) bytes += kB2;
  bytes += std::string(20000, '\0');
  for (zv::IoErrorKind kind : {zv::IoErrorKind::kOther, zv::IoErrorKind::kPermissionDenied,
                               zv::IoErrorKind::kInterrupted}) {
    for (uint64_t nth : {1, 3}) {
      testing::write_all(path_, bytes);
      fs_.fail_nth(FaultOp::kRead, nth, 1, kind);
      ReadBack r = read_again(Mode::kActive);
      fs_.clear();
      ASSERT_TRUE(r.error);
      EXPECT_EQ(r.error->kind(), MorvaErrorKind::kIo);
      EXPECT_EQ(r.error->io_error().kind(), kind);
      EXPECT_TRUE(file() == bytes);
    }
  }
}

TEST_F(JournalReaderTest, AFailingCutIsAnError) {
  for (FaultOp op : {FaultOp::kSetLen, FaultOp::kSyncAll}) {
    testing::write_all(path_, kB1 + std::string(100, '\0'));
    fs_.fail_nth(op, 1);
    ReadBack r = read_again(Mode::kSealed);
    fs_.clear();
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->kind(), MorvaErrorKind::kIo);
  }
  fs_.fail_nth(FaultOp::kOpen, 1);
  ReadBack r = read_again(Mode::kSealed);
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->kind(), MorvaErrorKind::kIo);
}

TEST_F(JournalReaderTest, ChecksumCoversTheBytesAsStored) {
  // The same value compressed by another compressor (high-compression mode):
  // a different block, framed with a checksum over its own bytes.
  std::string value;
  for (int i = 0; i < 6000; ++i) value += static_cast<char>("abcdefgh"[(i * 7 + i / 13) % 8]);
  std::string ours;
  ASSERT_TRUE(tervik::lz4_compress(value, &ours).ok());
  std::string hc(LZ4_compressBound(static_cast<int>(value.size())), '\0');
  const int n = LZ4_compress_HC(value.data(), hc.data(), static_cast<int>(value.size()),
                                static_cast<int>(hc.size()), LZ4HC_CLEVEL_MAX);
  ASSERT_GT(n, 0);
  hc.resize(n);
  ASSERT_NE(hc, ours);
  std::string item = testing::raw_item({4, "key", value, tervik::ValueType::kValue, true});
  item.replace(21 + 3, ours.size(), hc);
  item.resize(21 + 3 + hc.size());
  for (int i = 0; i < 4; ++i) item[17 + i] = static_cast<char>(static_cast<uint32_t>(n) >> (8 * i));
  const std::string bytes =
      start(1, 11) + item + end_entry(zv::xxh3_64(item.data(), item.size()));
  ReadBack r = read(bytes, Mode::kSealed);
  ASSERT_FALSE(r.error) << r.error->debug_string();
  ASSERT_EQ(r.batches.size(), 1u);
  EXPECT_EQ(r.batches[0].items[0].value, value);
  EXPECT_EQ(file(), bytes);
}

}  // namespace
}  // namespace morva
