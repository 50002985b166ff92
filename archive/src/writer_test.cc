#include "archive/src/writer.h"

#include <gtest/gtest.h>

#include "archive/src/reader.h"
#include "archive/src/testing/archive_files.h"
#include "archive/src/testing/sinks.h"
#include "archive/src/trailer.h"
#include "platform/checksum.h"
#include "platform/coding.h"
#include "platform/log.h"
#include "platform/panic.h"
#include "platform/testing/temp_dir.h"

namespace zv::archive {
namespace {

using testing::FileSink;
using testing::MemorySink;

std::string panic_message(const std::function<void()>& fn) {
  std::string msg;
  EXPECT_FALSE(catch_panic(fn, &msg));
  return msg;
}

TEST(ArchiveWriterTest, EmptyContainerIsGolden46Bytes) {
  // "TOC!", count 0, then the trailer pointing at offset 0 with length 8.
  std::string toc = "TOC!";
  coding::put_u32_le(&toc, 0);
  const Hash128 c = xxh3_128(toc);
  std::string golden = toc + "QZR!";
  golden.push_back('\x01');
  golden.push_back('\x00');
  coding::put_u64_le(&golden, c.low);
  coding::put_u64_le(&golden, c.high);
  coding::put_u64_le(&golden, 0);
  coding::put_u64_le(&golden, 8);
  ASSERT_EQ(golden.size(), 46u);

  MemorySink sink;
  ArchiveWriter w(sink);
  ASSERT_TRUE(w.finish().ok());
  EXPECT_EQ(sink.bytes(), golden);

  zv::testing::TempDir dir;
  auto toc_read = ArchiveReader::open(testing::store(dir.path(), "empty", golden));
  ASSERT_TRUE(toc_read.ok()) << toc_read.error().to_string();
  EXPECT_EQ(toc_read->size(), 0u);
}

TEST(ArchiveWriterTest, RecordsSectionsAndReadsThemBack) {
  zv::testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "archive");
  auto file = File::create_new(path);
  ASSERT_TRUE(file.ok());
  FileSink sink(std::move(*file));
  ArchiveWriter w(sink);

  const std::string data(20000, 'd');
  ASSERT_TRUE(w.finish_section().ok());  // at position 0: records nothing
  EXPECT_TRUE(w.entries().empty());
  ASSERT_TRUE(w.start_section("data").ok());
  ASSERT_TRUE(sink.write_all(data).ok());
  ASSERT_TRUE(w.start_section("index").ok());  // nothing written: length 0
  ASSERT_TRUE(w.start_section("meta").ok());
  ASSERT_TRUE(sink.write_all("m1").ok());
  ASSERT_TRUE(w.start_section("meta").ok());  // a second section of that name
  ASSERT_TRUE(sink.write_all("m2-longer").ok());
  ASSERT_TRUE(w.finish().ok());

  const std::vector<TocEntry> expected = {
      {"data", 0, 20000}, {"index", 20000, 0}, {"meta", 20000, 2}, {"meta", 20002, 9}};
  EXPECT_EQ(w.entries(), expected);

  auto toc = ArchiveReader::open(path);
  ASSERT_TRUE(toc.ok()) << toc.error().to_string();
  EXPECT_EQ(toc->entries(), expected);

  struct Case {
    std::string name;
    const char* want;  // section content, or nullptr for no match
  };
  const Case cases[] = {
      {"data", data.c_str()}, {"index", ""}, {"meta", "m1"},
      {"META", nullptr},      {"meta ", nullptr}, {"met", nullptr}, {"", nullptr},
  };
  for (const auto& c : cases) {
    const TocEntry* e = toc->section(c.name);
    if (c.want == nullptr) {
      EXPECT_EQ(e, nullptr) << c.name;
      continue;
    }
    ASSERT_NE(e, nullptr) << c.name;
    auto r = section_reader(path, *e);
    ASSERT_TRUE(r.ok()) << c.name;
    std::string got;
    ASSERT_TRUE(r->read_to_end(&got).ok()) << c.name;
    EXPECT_EQ(got, c.want) << c.name;
  }
}

TEST(ArchiveWriterTest, OverlongNameAndEntryCountPanic) {
  MemorySink sink;
  ArchiveWriter w(sink);
  EXPECT_EQ(panic_message([&] { (void)w.start_section(std::string(65536, 'n')); }), kNameTooLongMessage);
  EXPECT_TRUE(w.start_section(std::string(65535, 'n')).ok());

  std::string dst;
  EXPECT_EQ(panic_message([&] { encode_toc({TocEntry{std::string(65536, 'n'), 0, 1}}, &dst); }),
            kNameTooLongMessage);

  EXPECT_EQ(panic_message([] { check_toc_entry_count(uint64_t{1} << 32); }), kTooManyEntriesMessage);
  check_toc_entry_count((uint64_t{1} << 32) - 1);  // the largest count that fits
}

TEST(ArchiveWriterTest, FailedWritesAreIoAndLeaveNoReadableArchive) {
  const std::string full = testing::build_archive({{"data", "0123456789"}});
  ASSERT_FALSE(full.empty());
  zv::testing::TempDir dir;
  // Budgets cut the file inside the table of contents and inside the trailer.
  for (size_t budget : {size_t{10}, full.size() - kTrailerSize}) {
    testing::FailingSink sink(budget);
    ArchiveWriter w(sink);
    ASSERT_TRUE(w.start_section("data").ok());
    ASSERT_TRUE(sink.write_all("0123456789").ok());
    auto r = w.finish();
    ASSERT_FALSE(r.ok()) << budget;
    EXPECT_EQ(r.error().kind(), ArchiveErrorKind::kIo) << budget;
    EXPECT_EQ(r.error().io().kind(), IoErrorKind::kStorageFull) << budget;
    EXPECT_FALSE(ArchiveReader::open(testing::store(dir.path(), "cut", sink.bytes())).ok()) << budget;
  }
}

TEST(ArchiveWriterTest, TraceLogListsEntries) {
  log::CaptureSink capture;
  ASSERT_FALSE(testing::build_archive({{"ab", "x"}}).empty());
  EXPECT_TRUE(capture.contains("Finishing archive"));
  EXPECT_TRUE(capture.contains("Writing trailer"));
  EXPECT_TRUE(capture.contains(
      "ToC: [\n    TocEntry {\n        name: [\n            97,\n            98,\n        ],\n"
      "        pos: 0,\n        len: 1,\n    },\n]"));
  EXPECT_EQ((TocEntry{"me", 0, 12}).debug_string(), "TocEntry { name: [109, 101], pos: 0, len: 12 }");
}

}  // namespace
}  // namespace zv::archive
