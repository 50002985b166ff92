#include "archive/src/reader.h"

#include <gtest/gtest.h>

#include "archive/src/testing/archive_files.h"
#include "archive/src/trailer.h"
#include "platform/checksum.h"
#include "platform/coding.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"

namespace zv::archive {
namespace {

using testing::build_archive;
using testing::store;

class ArchiveReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    valid_ = build_archive({{"data", std::string(300, 'x')}, {"meta", "props"}, {"tli", ""}});
    ASSERT_FALSE(valid_.empty());
    trailer_at_ = valid_.size() - kTrailerSize;
    toc_pos_ = coding::get_u64_le(valid_.data() + trailer_at_ + kTrailerTocPosOffset);
    stored_ = get_checksum(valid_.data() + trailer_at_ + kTrailerChecksumOffset);
  }

  ArchiveResult<Toc> open_bytes(const std::string& bytes) {
    return ArchiveReader::open(store(dir_.path(), "f" + std::to_string(n_++), bytes));
  }

  zv::testing::TempDir dir_;
  std::string valid_;
  size_t trailer_at_ = 0;
  uint64_t toc_pos_ = 0;
  Hash128 stored_;
  int n_ = 0;
};

TEST_F(ArchiveReaderTest, ChecksRunInOrderAndLogTheirMessage) {
  auto with = [&](std::function<void(std::string&)> edit) {
    std::string b = valid_;
    edit(b);
    return b;
  };
  auto put64 = [](std::string& b, size_t at, uint64_t v) {
    std::string enc;
    coding::put_u64_le(&enc, v);
    b.replace(at, 8, enc);
  };
  const size_t t = trailer_at_;
  const size_t toc = toc_pos_;
  struct Case {
    const char* name;
    std::string bytes;
    ArchiveErrorKind kind;
    const char* logged;  // error-level message, or nullptr
  };
  const Case cases[] = {
      {"empty file", "", ArchiveErrorKind::kIo, nullptr},
      {"37 bytes", valid_.substr(valid_.size() - 37), ArchiveErrorKind::kIo, nullptr},
      {"bad magic and version", with([&](std::string& b) { b[t] = 'X'; b[t + 4] = 2; }),
       ArchiveErrorKind::kInvalidHeader, "Invalid trailer header"},
      {"version 2, checksum type 5", with([&](std::string& b) { b[t + 4] = 2; b[t + 5] = 5; }),
       ArchiveErrorKind::kInvalidVersion, "Invalid version"},
      {"checksum type 1", with([&](std::string& b) { b[t + 5] = 1; }),
       ArchiveErrorKind::kInvalidChecksumType, "Invalid checksum type"},
      {"toc magic", with([&](std::string& b) { b[toc] = 't'; }), ArchiveErrorKind::kInvalidVersion,
       "Invalid version"},
      {"toc_pos past the end", with([&](std::string& b) { put64(b, t + kTrailerTocPosOffset, 1u << 30); }),
       ArchiveErrorKind::kIo, nullptr},
      {"toc_pos into the trailer", with([&](std::string& b) { put64(b, t + kTrailerTocPosOffset, t + 20); }),
       ArchiveErrorKind::kInvalidVersion, "Invalid version"},
      {"count 2^32-1", with([&](std::string& b) { b.replace(toc + 4, 4, "\xff\xff\xff\xff"); }),
       ArchiveErrorKind::kIo, nullptr},
      {"first name length 65535", with([&](std::string& b) { b.replace(toc + 24, 2, "\xff\xff"); }),
       ArchiveErrorKind::kIo, nullptr},
  };
  for (const auto& c : cases) {
    log::CaptureSink capture(log::Level::kError);
    auto r = open_bytes(c.bytes);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().kind(), c.kind) << c.name << ": " << r.error().to_string();
    const auto events = capture.events();
    if (c.logged == nullptr) {
      EXPECT_TRUE(events.empty()) << c.name;
    } else {
      ASSERT_EQ(events.size(), 1u) << c.name;
      EXPECT_EQ(events[0].message, c.logged) << c.name;
    }
  }
}

TEST_F(ArchiveReaderTest, ShortFilesAndDamagedCountsAreUnexpectedEnd) {
  std::string huge_count = valid_;
  huge_count.replace(toc_pos_ + 4, 4, "\xff\xff\xff\x7f");
  // One entry more than the bytes after the count can hold.
  std::string one_too_many = valid_;
  const uint64_t fit = (valid_.size() - toc_pos_ - 8) / kTocEntryFixedSize;
  std::string enc;
  coding::put_u32_le(&enc, static_cast<uint32_t>(fit + 1));
  one_too_many.replace(toc_pos_ + 4, 4, enc);
  for (const auto& bytes : {huge_count, one_too_many}) {
    auto r = open_bytes(bytes);
    ASSERT_FALSE(r.ok());
    ASSERT_EQ(r.error().kind(), ArchiveErrorKind::kIo);
    EXPECT_EQ(r.error().io().kind(), IoErrorKind::kUnexpectedEof);
    EXPECT_EQ(r.error().io().message(), kShortReadMessage);
  }
}

TEST_F(ArchiveReaderTest, WrongTocLenIsAccepted) {
  std::string b = valid_;
  std::string enc;
  coding::put_u64_le(&enc, 12345);
  b.replace(trailer_at_ + kTrailerTocLenOffset, 8, enc);
  auto r = open_bytes(b);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(r->size(), 3u);
}

TEST_F(ArchiveReaderTest, EveryFlippedTocBitIsRefused) {
  // Past the magic, each flip gives a mismatch against the stored checksum,
  // or an unexpected end when a count or name length now runs off the file.
  int mismatches = 0;
  for (size_t byte = toc_pos_ + 4; byte < trailer_at_; ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string b = valid_;
      b[byte] = static_cast<char>(b[byte] ^ (1 << bit));
      auto r = open_bytes(b);
      ASSERT_FALSE(r.ok()) << byte << ":" << bit;
      if (r.error().kind() == ArchiveErrorKind::kIo) {
        EXPECT_EQ(r.error().io().kind(), IoErrorKind::kUnexpectedEof) << byte << ":" << bit;
        continue;
      }
      ASSERT_EQ(r.error().kind(), ArchiveErrorKind::kChecksumMismatch) << byte << ":" << bit;
      EXPECT_EQ(r.error().expected(), stored_);
      EXPECT_NE(r.error().got(), stored_);
      ++mismatches;
    }
  }
  // Positions, lengths and name bytes never change how much is read.
  EXPECT_GE(mismatches, 3 * (16 + 4) * 8);
}

TEST_F(ArchiveReaderTest, SectionReaderStopsAtSectionEnd) {
  const std::string big(3 * kSectionReadBufferSize + 5, 'b');
  const std::string path =
      store(dir_.path(), "sections", build_archive({{"a", big}, {"b", "after"}, {"z", ""}}));
  auto toc = ArchiveReader::open(path);
  ASSERT_TRUE(toc.ok());

  auto r = section_reader(path, *toc->section("a"));
  ASSERT_TRUE(r.ok());
  std::string got;
  char chunk[7];
  for (;;) {
    auto n = r->read(chunk, sizeof(chunk));
    ASSERT_TRUE(n.ok());
    if (*n == 0) break;
    got.append(chunk, *n);
  }
  EXPECT_EQ(got, big);
  EXPECT_EQ(r->read_exact(chunk, 1).error().kind(), IoErrorKind::kUnexpectedEof);

  auto empty = section_reader(path, *toc->section("z"));
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(*empty->read(chunk, sizeof(chunk)), 0u);

  // An entry reaching past the file's end yields what the file holds.
  auto past = section_reader(path, TocEntry{"x", big.size(), 1u << 20});
  ASSERT_TRUE(past.ok());
  std::string rest;
  ASSERT_TRUE(past->read_to_end(&rest).ok());
  EXPECT_EQ(rest.substr(0, 5), "after");
  EXPECT_LT(rest.size(), 200u);

  EXPECT_FALSE(section_reader(fs::join(dir_.path(), "missing"), TocEntry{}).ok());
}

TEST(ArchiveErrorTest, DisplayForms) {
  EXPECT_EQ(ArchiveError::checksum_mismatch(Hash128{1, 0}, Hash128{2, 0}).to_string(),
            "ChecksumMismatch { got: Checksum(1), expected: Checksum(2) }");
  EXPECT_EQ(ArchiveError::checksum_mismatch(Hash128{0, 1}, Hash128{0, 0}).to_string(),
            "ChecksumMismatch { got: Checksum(18446744073709551616), expected: Checksum(0) }");
  EXPECT_EQ(ArchiveError::invalid_header().to_string(), "InvalidHeader");
}

}  // namespace
}  // namespace zv::archive
