#include "tervik/block/block.h"

#include <gtest/gtest.h>
#include <lz4.h>

#include <functional>
#include <random>

#include "platform/coding.h"
#include "platform/file.h"
#include "platform/testing/temp_dir.h"

namespace tervik {
namespace {

class StringReader final : public Reader {
 public:
  explicit StringReader(std::string bytes) : bytes_(std::move(bytes)) {}
  zv::IoResult<size_t> read(uint8_t* buf, size_t n) override {
    size_t k = std::min(n, bytes_.size() - pos_);
    std::memcpy(buf, bytes_.data() + pos_, k);
    pos_ += k;
    return k;
  }

 private:
  std::string bytes_;
  size_t pos_ = 0;
};

class StringWriter final : public Writer {
 public:
  zv::IoResult<size_t> write(const uint8_t* data, size_t n) override {
    // Accept at most 7 bytes per call: write_into must loop.
    size_t k = std::min<size_t>(n, 7);
    out.append(reinterpret_cast<const char*>(data), k);
    return k;
  }
  std::string out;
};

std::string random_bytes(size_t n, uint32_t seed, int alphabet = 256) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() % alphabet);
  return s;
}

std::string frame_of(std::string_view payload, BlockType type, CompressionType c) {
  std::string out;
  auto h = Block::write_into(&out, payload, type, c);
  EXPECT_TRUE(h.ok());
  return out;
}

// A frame whose header says what the caller wants about the stored bytes,
// with both checksums correct.
std::string forged_frame(std::string_view stored, uint32_t uncompressed_length) {
  BlockHeader h;
  h.block_type = BlockType::kData;
  h.checksum = Checksum::of(stored);
  h.data_length = static_cast<uint32_t>(stored.size());
  h.uncompressed_length = uncompressed_length;
  std::string out;
  h.encode_to(&out);
  out.append(stored);
  return out;
}

std::string lz4(std::string_view s) {
  std::string out(LZ4_compressBound(static_cast<int>(s.size())), '\0');
  int n = LZ4_compress_default(s.data(), out.data(), static_cast<int>(s.size()),
                               static_cast<int>(out.size()));
  out.resize(n);
  return out;
}

TEST(BlockFrame, RoundTripsInMemoryThroughWritersFilesAndReaders) {
  struct Case {
    std::string name;
    std::string payload;
    CompressionType compression;
  };
  const Case cases[] = {
      {"empty raw", "", CompressionType::kNone},
      {"empty lz4", "", CompressionType::kLz4},
      {"text raw", std::string(5000, 'a') + "tail", CompressionType::kNone},
      {"text lz4", std::string(5000, 'a') + "tail", CompressionType::kLz4},
      {"incompressible lz4", random_bytes(4096, 7), CompressionType::kLz4},
      {"short raw", "abc", CompressionType::kNone},
  };
  zv::testing::TempDir dir;
  std::string path = dir.path() + "/blocks";
  std::string file_bytes;
  std::vector<BlockHandle> handles;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string mem;
    auto h = Block::write_into(&mem, c.payload, BlockType::kData, c.compression);
    ASSERT_TRUE(h.ok());
    EXPECT_EQ(h->uncompressed_length, c.payload.size());
    EXPECT_EQ(mem.size(), kBlockHeaderSize + h->data_length);
    if (c.compression == CompressionType::kNone) {
      EXPECT_EQ(h->data_length, c.payload.size());
    }
    if (c.name == "incompressible lz4") {
      EXPECT_GT(h->data_length, h->uncompressed_length);
    }

    StringWriter w;
    auto h2 = Block::write_into(w, c.payload, BlockType::kData, c.compression);
    ASSERT_TRUE(h2.ok());
    EXPECT_EQ(w.out, mem);

    auto b = Block::from_frame(Slice(mem), c.compression);
    ASSERT_TRUE(b.ok()) << b.error().to_string();
    EXPECT_EQ(b->data.view(), c.payload);

    StringReader r(mem);
    auto b2 = Block::from_reader(r, c.compression);
    ASSERT_TRUE(b2.ok()) << b2.error().to_string();
    EXPECT_EQ(b2->data.view(), c.payload);

    handles.push_back(BlockHandle{file_bytes.size(), static_cast<uint32_t>(mem.size())});
    file_bytes += mem;
  }
  auto f = zv::File::create(path);
  ASSERT_TRUE(f.ok());
  ASSERT_TRUE(f->write_all(file_bytes).ok());
  for (size_t i = 0; i < handles.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    auto b = Block::from_file(*f, handles[i], cases[i].compression);
    ASSERT_TRUE(b.ok()) << b.error().to_string();
    EXPECT_EQ(b->data.view(), cases[i].payload);
    EXPECT_EQ(b->header.block_type, BlockType::kData);
  }
}

TEST(BlockFrame, HeaderLayoutIsTheStoredOne) {
  std::string frame = frame_of("xyz", BlockType::kFilter, CompressionType::kNone);
  ASSERT_EQ(frame.size(), kBlockHeaderSize + 3);
  EXPECT_EQ(frame.substr(0, 4), std::string("LSM\x03", 4));
  EXPECT_EQ(frame[4], 2);
  auto sum = zv::xxh3_128("xyz", 3);
  EXPECT_EQ(zv::coding::get_u64_le(frame.data() + 5), sum.low);
  EXPECT_EQ(zv::coding::get_u64_le(frame.data() + 13), sum.high);
  EXPECT_EQ(zv::coding::get_u32_le(frame.data() + 21), 3u);
  EXPECT_EQ(zv::coding::get_u32_le(frame.data() + 25), 3u);
  EXPECT_EQ(zv::coding::get_u32_le(frame.data() + 29),
            static_cast<uint32_t>(zv::xxh3_128(frame.data(), 29).low));
  EXPECT_EQ(frame.substr(33), "xyz");
}

TEST(BlockFrame, EachCorruptionGivesItsError) {
  const std::string payload = "some payload bytes for a block";
  const std::string good = frame_of(payload, BlockType::kData, CompressionType::kNone);
  const auto stored_hdr_sum = zv::coding::get_u32_le(good.data() + 29);
  struct Case {
    std::string name;
    std::function<std::string()> make;
    CompressionType compression;
    std::function<void(const TervikError&)> check;
  };
  auto is_eof = [](const TervikError& e) {
    ASSERT_EQ(e.kind(), TervikErrorKind::kIo);
    EXPECT_EQ(e.io_error().kind(), zv::IoErrorKind::kUnexpectedEof);
    EXPECT_EQ(e.io_error().message(), zv::kShortReadMessage);
  };
  auto is_lz4 = [](const TervikError& e) {
    ASSERT_EQ(e.kind(), TervikErrorKind::kDecompress);
    EXPECT_EQ(e.compression(), CompressionType::kLz4);
  };
  const std::string packed = lz4(std::string(1000, 'q'));
  const Case cases[] = {
      {"three bytes", [&] { return good.substr(0, 3); }, CompressionType::kNone, is_eof},
      {"header cut inside lengths", [&] { return good.substr(0, 20); }, CompressionType::kNone,
       is_eof},
      {"bad magic before short type",
       [&] { std::string s = good.substr(0, 4); s[1] = 'X'; return s; }, CompressionType::kNone,
       [](const TervikError& e) {
         ASSERT_EQ(e.kind(), TervikErrorKind::kInvalidHeader);
         EXPECT_EQ(e.header_name(), "Block");
       }},
      {"type byte 4 before any checksum",
       [&] { std::string s = good; s[4] = 4; s[10] ^= 1; return s; }, CompressionType::kNone,
       [](const TervikError& e) {
         ASSERT_EQ(e.kind(), TervikErrorKind::kInvalidTag);
         EXPECT_EQ(e.tag_name(), "BlockType");
         EXPECT_EQ(e.tag_byte(), 4);
       }},
      {"header byte changed", [&] { std::string s = good; s[22] ^= 0x40; return s; },
       CompressionType::kNone,
       [&](const TervikError& e) {
         ASSERT_EQ(e.kind(), TervikErrorKind::kChecksumMismatch);
         EXPECT_EQ(e.expected(), Checksum(stored_hdr_sum, 0));
         EXPECT_EQ(e.got().high, 0u);
         EXPECT_NE(e.got(), e.expected());
       }},
      {"payload byte changed", [&] { std::string s = good; s[40] ^= 1; return s; },
       CompressionType::kNone,
       [&](const TervikError& e) {
         ASSERT_EQ(e.kind(), TervikErrorKind::kChecksumMismatch);
         EXPECT_EQ(e.expected(), Checksum::of(payload));
       }},
      {"lz4 decodes to fewer bytes than stated", [&] { return forged_frame(packed, 1200); },
       CompressionType::kLz4, is_lz4},
      {"lz4 decodes to more bytes than stated", [&] { return forged_frame(packed, 999); },
       CompressionType::kLz4, is_lz4},
      {"stated size beyond what lz4 can produce",
       [&] { return forged_frame(packed, 0xFFFF'FFF0u); }, CompressionType::kLz4, is_lz4},
      {"garbage lz4 stream", [&] { return forged_frame("\xF0\xFF\xFF\xFF", 100); },
       CompressionType::kLz4, is_lz4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = c.make();
    auto b = Block::from_frame(Slice(bytes), c.compression);
    ASSERT_FALSE(b.ok());
    c.check(b.error());
    StringReader r(bytes);
    auto b2 = Block::from_reader(r, c.compression);
    ASSERT_FALSE(b2.ok());
    c.check(b2.error());
  }
}

TEST(BlockFrame, ShortPositionedReadAndNonDataSequentialBlock) {
  zv::testing::TempDir dir;
  std::string frame = frame_of("index payload", BlockType::kIndex, CompressionType::kNone);
  auto f = zv::File::create(dir.path() + "/t");
  ASSERT_TRUE(f.ok());
  ASSERT_TRUE(f->write_all(frame).ok());

  BlockHandle past{4, static_cast<uint32_t>(frame.size())};
  auto b = Block::from_file(*f, past, CompressionType::kNone);
  ASSERT_FALSE(b.ok());
  ASSERT_EQ(b.error().kind(), TervikErrorKind::kIo);
  EXPECT_EQ(b.error().io_error().kind(), zv::IoErrorKind::kUnexpectedEof);
  EXPECT_EQ(b.error().io_error().message(),
            "read_exact(" + std::to_string(frame.size() - 4) + ") at 4 did not read enough bytes " +
                std::to_string(frame.size()) + "; file has length " +
                std::to_string(frame.size()));

  // A huge damaged handle fails the same way without a huge allocation.
  auto huge = Block::from_file(*f, BlockHandle{0, 0xFFFF'0000u}, CompressionType::kNone);
  ASSERT_FALSE(huge.ok());
  EXPECT_EQ(huge.error().io_error().kind(), zv::IoErrorKind::kUnexpectedEof);

  // A damaged length on the sequential path reads what exists, then fails,
  // instead of allocating the stated 4 GiB up front.
  std::string forged;
  BlockHeader claim;
  claim.data_length = 0xFFFF'FFF0u;
  claim.uncompressed_length = claim.data_length;
  claim.encode_to(&forged);
  forged += std::string(3u << 20, 'x');
  StringReader long_reader(forged);
  auto bomb = Block::from_reader(long_reader, CompressionType::kNone);
  ASSERT_FALSE(bomb.ok());
  EXPECT_EQ(bomb.error().io_error().kind(), zv::IoErrorKind::kUnexpectedEof);

  // The index block itself loads by handle but not through the sequential path.
  auto ok = Block::from_file(*f, BlockHandle{0, static_cast<uint32_t>(frame.size())},
                             CompressionType::kNone);
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok->header.block_type, BlockType::kIndex);
  StringReader r(frame);
  auto seq = Block::from_reader(r, CompressionType::kNone);
  ASSERT_FALSE(seq.ok());
  ASSERT_EQ(seq.error().kind(), TervikErrorKind::kInvalidTag);
  EXPECT_EQ(seq.error().tag_name(), "BlockType");
  EXPECT_EQ(seq.error().tag_byte(), 1);
}

TEST(BlockFrame, PayloadsBeyondTheLengthFieldsAreRefused) {
  // The views are never read: the length check comes first.
  std::string small = "x";
  struct Case {
    uint64_t size;
    CompressionType compression;
  };
  for (Case c : {Case{0x1'0000'0000ull, CompressionType::kNone},
                 Case{0x1'0000'0000ull, CompressionType::kLz4},
                 Case{static_cast<uint64_t>(LZ4_MAX_INPUT_SIZE) + 1, CompressionType::kLz4}}) {
    SCOPED_TRACE(c.size);
    std::string out;
    auto h = Block::write_into(&out, std::string_view(small.data(), c.size), BlockType::kData,
                               c.compression);
    ASSERT_FALSE(h.ok());
    ASSERT_EQ(h.error().kind(), TervikErrorKind::kIo);
    EXPECT_EQ(h.error().io_error().kind(), zv::IoErrorKind::kInvalidInput);
    EXPECT_TRUE(out.empty());
  }
}

TEST(BlockFrame, NamesAndVarints) {
  EXPECT_EQ(BlockHandle({10, 40}).debug_string(), "BlockHandle { offset: 10, size: 40 }");
  const char* names[] = {"Data", "Index", "Filter", "Meta"};
  for (uint8_t i = 0; i < 4; ++i) {
    EXPECT_EQ(block_type_name(*parse_block_type(i)), names[i]);
  }
  struct Case {
    uint64_t v;
    int width;
    std::string bytes;
  };
  const Case cases[] = {
      {0, 16, std::string(1, '\0')},
      {127, 32, "\x7F"},
      {128, 64, "\x80\x01"},
      {65535, 16, "\xFF\xFF\x03"},
      {UINT64_MAX, 64, "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x01"},
  };
  for (const Case& c : cases) {
    std::string out;
    if (c.width == 16) varint::write_u16(&out, static_cast<uint16_t>(c.v));
    if (c.width == 32) varint::write_u32(&out, static_cast<uint32_t>(c.v));
    if (c.width == 64) varint::write_u64(&out, c.v);
    EXPECT_EQ(out, c.bytes) << c.v;
  }
}

}  // namespace
}  // namespace tervik

namespace tervik {
namespace {

TEST(BlockFrameSize, LengthsThatWrapTheFrameSizeAreRefused) {
  constexpr uint64_t kMax = 0xFFFF'FFFFull;
  struct Case {
    const char* name;
    uint64_t payload;
    uint64_t stored;
    bool ok;
  };
  const Case cases[] = {
      {"small uncompressed", 100, 100, true},
      {"largest frame", kMax - kBlockHeaderSize, kMax - kBlockHeaderSize, true},
      {"stored one past the frame limit", kMax - kBlockHeaderSize + 1, kMax - kBlockHeaderSize + 1, false},
      {"payload within 33 bytes of 4 GiB", kMax - 10, kMax - 10, false},
      {"compressed payload of 4 GiB - 1 fitting", kMax, 1000, true},
      {"payload over the u32 length", kMax + 1, 10, false},
      {"compression that expands past the limit", kMax - 100, kMax, false},
  };
  for (const Case& c : cases) {
    auto st = check_frame_size(c.payload, c.stored);
    EXPECT_EQ(st.ok(), c.ok) << c.name;
    if (!st.ok()) {
      EXPECT_EQ(st.error().kind(), TervikErrorKind::kIo) << c.name;
      EXPECT_NE(st.error().to_string().find("exceeds the limit"), std::string::npos) << c.name;
    }
  }
}

}  // namespace
}  // namespace tervik
