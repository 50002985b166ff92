#include "tervik/core/archive_sink.h"

#include <gtest/gtest.h>

#include "archive/src/reader.h"
#include "archive/src/writer.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"
#include "tervik/core/archive_error_conversion.h"

namespace tervik {
namespace {

TEST(ChecksummedArchiveSinkTest, FileChecksumCoversSectionsTocAndTrailer) {
  zv::testing::TempDir dir;
  const std::string path = zv::fs::join(dir.path(), "1");
  auto file = zv::File::create_new(path);
  ASSERT_TRUE(file.ok());
  // A small buffer so that sections cross buffer flushes.
  ChecksummedWriter writer(std::make_unique<BufferedFileWriter>(std::move(*file), 16));
  ChecksummedArchiveSink sink(writer);
  zv::archive::ArchiveWriter archive(sink);
  ASSERT_TRUE(archive.finish_section().ok());
  ASSERT_TRUE(archive.start_section("data").ok());
  ASSERT_TRUE(writer.write_all(std::string(100, 'd')).ok());
  ASSERT_TRUE(archive.start_section("meta").ok());
  ASSERT_TRUE(writer.write_all("abc").ok());
  ASSERT_TRUE(archive.finish().ok());

  auto bytes = zv::fs::read_file(path);
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ(writer.checksum(), Checksum::of(*bytes));

  auto toc = zv::archive::ArchiveReader::open(path);
  ASSERT_TRUE(toc.ok());
  ASSERT_NE(toc->section("meta"), nullptr);
  EXPECT_EQ(toc->section("meta")->pos, 100u);
  EXPECT_EQ(toc->section("meta")->len, 3u);

  // An unsupported trailer version surfaces as Unrecoverable.
  std::string damaged = *bytes;
  damaged[damaged.size() - 38 + 4] = 2;
  ASSERT_TRUE(zv::fs::write_file(path, damaged).ok());
  zv::log::CaptureSink capture(zv::log::Level::kError);
  auto r = from_archive_result(zv::archive::ArchiveReader::open(path));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), TervikErrorKind::kUnrecoverable);
  EXPECT_TRUE(capture.contains(kLogInvalidArchiveVersion));
}

}  // namespace
}  // namespace tervik
