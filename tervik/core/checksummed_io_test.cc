#include "tervik/core/checksummed_io.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"

namespace tervik {
namespace {

std::string pattern(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    s[i] = static_cast<char>(seed >> 24);
  }
  return s;
}

Checksum one_shot(std::string_view s) { return Checksum(zv::xxh3_128(s)); }

TEST(ChecksummedWriterTest, FileChecksumEqualsOneShotHashOfStoredBytes) {
  zv::testing::TempDir dir;
  struct Case {
    size_t buffer;
    std::vector<size_t> chunks;
  };
  const Case cases[] = {
      {1, {0, 1, 2, 3, 100}},
      {64, {63, 64, 65, 1, 0, 500}},
      {4096, {10000, 3, 4096, 7}},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string path = zv::fs::join(dir.path(), std::to_string(n++));
    auto file = zv::File::create_new(path);
    ASSERT_TRUE(file.ok());
    ChecksummedWriter fw(std::make_unique<BufferedFileWriter>(std::move(file).value(), c.buffer));
    std::string expect_file, stretch;
    uint32_t seed = 1;
    for (size_t len : c.chunks) {
      std::string bytes = pattern(len, seed++);
      ASSERT_TRUE(fw.write_all(bytes).ok());
      expect_file += bytes;
    }
    {
      // A layered writer gives one stretch its own checksum.
      ChecksummedWriter layered(&fw);
      stretch = pattern(777, 99);
      ASSERT_TRUE(layered.write_all(stretch.substr(0, 300)).ok());
      ASSERT_TRUE(layered.write_all(stretch.substr(300)).ok());
      EXPECT_EQ(layered.checksum(), one_shot(stretch));
      expect_file += stretch;
    }
    // Written straight to the file writer after the stretch.
    std::string stored;
    one_shot(stretch).encode_to(&stored);
    ASSERT_TRUE(fw.write_all(stored).ok());
    expect_file += stored;

    EXPECT_EQ(fw.checksum(), one_shot(expect_file));
    EXPECT_EQ(fw.checksum(), fw.checksum()) << "checksum() does not consume";
    ASSERT_TRUE(fw.inner_as<BufferedFileWriter>().position().ok());
    EXPECT_EQ(*fw.inner_as<BufferedFileWriter>().position(), expect_file.size());
    ASSERT_TRUE(fw.inner_as<BufferedFileWriter>().sync_all().ok());
    auto on_disk = zv::fs::read_file(path);
    ASSERT_TRUE(on_disk.ok());
    EXPECT_EQ(*on_disk, expect_file);
    EXPECT_EQ(fw.checksum(), one_shot(*on_disk));
  }
}

TEST(ChecksummedWriterTest, WritingAfterChecksumContinuesTheStream) {
  std::string sink;
  struct StringWriter : Writer {
    std::string* out;
    zv::IoResult<size_t> write(const uint8_t* d, size_t n) override {
      out->append(reinterpret_cast<const char*>(d), n);
      return n;
    }
  } inner;
  inner.out = &sink;
  ChecksummedWriter w(&inner);
  EXPECT_EQ(w.checksum(), one_shot(""));
  ASSERT_TRUE(w.write_all("").ok());
  EXPECT_EQ(w.checksum(), one_shot(""));
  ASSERT_TRUE(w.write_all("hello ").ok());
  (void)w.checksum();
  ASSERT_TRUE(w.write_all("world").ok());
  EXPECT_EQ(w.checksum(), one_shot("hello world"));
}

// Replies to each write with the next scripted answer: accept k bytes, or fail
// with an error kind.
struct ScriptedWriter : Writer {
  struct Step {
    size_t accept;
    std::optional<zv::IoErrorKind> error;
  };
  std::deque<Step> steps;
  std::string out;
  zv::IoResult<size_t> write(const uint8_t* d, size_t n) override {
    if (steps.empty()) {
      out.append(reinterpret_cast<const char*>(d), n);
      return n;
    }
    Step s = steps.front();
    steps.pop_front();
    if (s.error) return zv::make_unexpected(zv::IoError(*s.error, "scripted"));
    size_t k = std::min(s.accept, n);
    out.append(reinterpret_cast<const char*>(d), k);
    return k;
  }
};

TEST(ChecksummedWriterTest, WriteAllRetriesInterruptionsAndHashesOnlyAcceptedBytes) {
  using K = zv::IoErrorKind;
  struct Case {
    std::vector<ScriptedWriter::Step> steps;
    std::string error;  // empty: success
    std::string hashed;  // what the checksum must cover
  };
  const std::string data = "0123456789";
  const Case cases[] = {
      {{{3, {}}, {0, K::kInterrupted}, {2, {}}, {0, K::kInterrupted}}, "", data},
      {{{4, {}}, {0, {}}}, "failed to write whole buffer", "0123"},
      {{{6, {}}, {0, K::kStorageFull}}, "scripted", "012345"},
  };
  for (const Case& c : cases) {
    ScriptedWriter inner;
    inner.steps.assign(c.steps.begin(), c.steps.end());
    ChecksummedWriter w(&inner);
    auto st = w.write_all(data);
    EXPECT_EQ(st.ok(), c.error.empty());
    if (!st.ok()) {
      EXPECT_EQ(st.error().message(), c.error);
    }
    EXPECT_EQ(inner.out, c.hashed);
    EXPECT_EQ(w.checksum(), one_shot(c.hashed));
  }
}

TEST(ChecksummedReaderTest, ReadExactHashesWhatItReads) {
  zv::testing::TempDir dir;
  std::string path = zv::fs::join(dir.path(), "f");
  std::string content = pattern(10000, 7);
  ASSERT_TRUE(zv::fs::write_file(path, content).ok());
  auto file = zv::File::open_read(path);
  ASSERT_TRUE(file.ok());

  // Positioned, buffered and plain sequential readers give the same bytes.
  PositionedFileReader positioned(*file, 100);
  ChecksummedReader a(&positioned);
  std::string got(5000, '\0');
  ASSERT_TRUE(a.read_exact(got.data(), 1).ok());
  ASSERT_TRUE(a.read_exact(got.data() + 1, 0).ok());
  ASSERT_TRUE(a.read_exact(got.data() + 1, 4999).ok());
  EXPECT_EQ(got, content.substr(100, 5000));
  EXPECT_EQ(a.checksum(), one_shot(got));

  ChecksummedReader b(std::make_unique<BufferedReader>(
      std::make_unique<PositionedFileReader>(*file, 0), 333));
  std::string all(content.size(), '\0');
  for (size_t off = 0; off < all.size(); off += 1000) {
    ASSERT_TRUE(b.read_exact(all.data() + off, 1000).ok());
  }
  EXPECT_EQ(all, content);
  EXPECT_EQ(b.checksum(), one_shot(content));
  char one;
  auto eof = b.read_exact(&one, 1);
  ASSERT_FALSE(eof.ok());
  EXPECT_EQ(eof.error().kind(), zv::IoErrorKind::kUnexpectedEof);
  EXPECT_EQ(eof.error().message(), "failed to fill whole buffer");

  auto seq = zv::File::open_read(path);
  ASSERT_TRUE(seq.ok());
  ChecksummedReader c(std::make_unique<FileReader>(std::move(seq).value()));
  std::string head(10, '\0');
  ASSERT_TRUE(c.read_exact(head.data(), 10).ok());
  EXPECT_EQ(c.checksum(), one_shot(content.substr(0, 10)));
}

}  // namespace
}  // namespace tervik
