#include "tervik/core/error.h"

#include <gtest/gtest.h>

#include "tervik/core/blob_indirection.h"
#include "tervik/core/utf8.h"

namespace tervik {
namespace {

TEST(TervikErrorTest, DisplayForms) {
  struct Case {
    TervikError error;
    TervikErrorKind kind;
    std::string display;
  };
  const Case cases[] = {
      {TervikError::io(zv::IoError(zv::IoErrorKind::kUnexpectedEof, "could not read byte")),
       TervikErrorKind::kIo,
       "TervikError: Io(Custom { kind: UnexpectedEof, error: \"could not read byte\" })"},
      {TervikError::io(zv::IoError(zv::IoErrorKind::kNotFound, "No such file (os error 2)", 2)),
       TervikErrorKind::kIo,
       "TervikError: Io(Os { code: 2, kind: NotFound, message: \"No such file (os error 2)\" })"},
      {TervikError::decompress(CompressionType::kLz4), TervikErrorKind::kDecompress,
       "TervikError: Decompress(Lz4)"},
      {TervikError::decompress(CompressionType::kNone), TervikErrorKind::kDecompress,
       "TervikError: Decompress(None)"},
      {TervikError::invalid_version(200), TervikErrorKind::kInvalidVersion,
       "TervikError: InvalidVersion(200)"},
      {TervikError::unrecoverable(), TervikErrorKind::kUnrecoverable, "TervikError: Unrecoverable"},
      {TervikError::checksum_mismatch(Checksum(1, 0), Checksum(2, 0)),
       TervikErrorKind::kChecksumMismatch,
       "TervikError: ChecksumMismatch { got: Checksum(1), expected: Checksum(2) }"},
      {TervikError::checksum_mismatch(Checksum(0, 1), Checksum(~0ull, ~0ull)),
       TervikErrorKind::kChecksumMismatch,
       "TervikError: ChecksumMismatch { got: Checksum(18446744073709551616), expected: "
       "Checksum(340282366920938463463374607431768211455) }"},
      {TervikError::invalid_tag("BlockType", 9), TervikErrorKind::kInvalidTag,
       "TervikError: InvalidTag((\"BlockType\", 9))"},
      {TervikError::invalid_trailer(), TervikErrorKind::kInvalidTrailer,
       "TervikError: InvalidTrailer"},
      {TervikError::invalid_header("Blob"), TervikErrorKind::kInvalidHeader,
       "TervikError: InvalidHeader(\"Blob\")"},
      {TervikError::utf8(Utf8Error{3, 1}), TervikErrorKind::kUtf8,
       "TervikError: Utf8(Utf8Error { valid_up_to: 3, error_len: Some(1) })"},
      {TervikError::utf8(Utf8Error{0, std::nullopt}), TervikErrorKind::kUtf8,
       "TervikError: Utf8(Utf8Error { valid_up_to: 0, error_len: None })"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.to_string(), c.display);
    EXPECT_EQ("TervikError: " + c.error.debug_string(), c.display);
  }
  // Variant numbers follow the declared order.
  EXPECT_EQ(static_cast<int>(TervikErrorKind::kUtf8), 8);
  // An I/O error converts unchanged.
  TervikResult<int> r = zv::make_unexpected(zv::IoError(zv::IoErrorKind::kWriteZero, "w"));
  EXPECT_EQ(r.error().io_error().kind(), zv::IoErrorKind::kWriteZero);
}

TEST(TervikErrorTest, PrettyFormsOnePayloadPerLine) {
  EXPECT_EQ(TervikError::checksum_mismatch(Checksum(1, 0), Checksum(2, 0)).debug_string_pretty(),
            "ChecksumMismatch {\n    got: Checksum(1),\n    expected: Checksum(2),\n}");
  EXPECT_EQ(TervikError::invalid_tag("ValueType", 3).debug_string_pretty(),
            "InvalidTag(\n    (\n        \"ValueType\",\n        3,\n    ),\n)");
  EXPECT_EQ(TervikError::io(zv::IoError(zv::IoErrorKind::kUnexpectedEof, "x")).debug_string_pretty(),
            "Io(\n    Custom {\n        kind: UnexpectedEof,\n        error: \"x\",\n    },\n)");
  EXPECT_EQ(TervikError::unrecoverable().debug_string_pretty(), "Unrecoverable");
  EXPECT_EQ(TervikError::invalid_header("a\"b").debug_string(), "InvalidHeader(\"a\\\"b\")");
}

TEST(ChecksumTest, StoredFormAndPrint) {
  Checksum c(0x0807060504030201ull, 0x100f0e0d0c0b0a09ull);
  std::string bytes;
  c.encode_to(&bytes);
  ASSERT_EQ(bytes.size(), 16u);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(static_cast<uint8_t>(bytes[i]), i + 1);
  EXPECT_EQ(Checksum::decode(reinterpret_cast<const uint8_t*>(bytes.data())), c);
  EXPECT_EQ(Checksum().debug_string(), "Checksum(0)");
  EXPECT_NE(Checksum(1, 2), Checksum(1, 3));
  EXPECT_EQ(Checksum::of("").value(), zv::xxh3_128("", 0).as_u128());
}

TEST(BlobIndirectionTest, Decode) {
  struct Case {
    std::string bytes;
    std::optional<BlobIndirection> want;  // none: an error
    std::string error;
    size_t left;  // bytes not consumed
  };
  const std::string eof = "TervikError: Io(Custom { kind: UnexpectedEof, error: \"could not read byte\" })";
  const std::string wide = "TervikError: Io(Custom { kind: InvalidData, error: \"varint exceeds its field width\" })";
  const Case cases[] = {
      {"\x05\x07\x0A\x14", BlobIndirection{{7, 5, 10}, 20}, "", 0},
      {std::string("\x80\x01\x01\x01\x01", 5), BlobIndirection{{1, 128, 1}, 1}, "", 0},
      {"\x05\x07\x0A\x14zz", BlobIndirection{{7, 5, 10}, 20}, "", 2},
      {"\x05\x07\x0A", std::nullopt, eof, 0},
      {"\x05\x07\x0A\x94", std::nullopt, eof, 0},
      {"", std::nullopt, eof, 0},
      // Eleven bytes for a 64-bit field, six for a 32-bit one, and a fifth byte
      // carrying bits beyond 32: over-wide, whatever follows.
      {std::string(10, '\x80') + "\x01\x01\x01\x01", std::nullopt, wide, 0},
      {"\x01\x01" + std::string(5, '\x80') + "\x01\x01", std::nullopt, wide, 0},
      {"\x01\x01\x01\xff\xff\xff\xff\x10", std::nullopt, wide, 0},
      // The widest legal encodings.
      {std::string(9, '\xff') + "\x01" + std::string("\x00\xff\xff\xff\xff\x0f\x00", 7),
       BlobIndirection{{0, ~0ull, 0xFFFFFFFFu}, 0}, "", 0},
  };
  for (const Case& c : cases) {
    std::string_view in = c.bytes;
    auto r = BlobIndirection::decode(&in);
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    ASSERT_EQ(r.ok(), c.want.has_value());
    if (c.want) {
      EXPECT_EQ(*r, *c.want) << r->debug_string();
      EXPECT_EQ(c.want->encode(), c.bytes.substr(0, c.bytes.size() - c.left));
    } else {
      EXPECT_EQ(r.error().to_string(), c.error);
    }
    EXPECT_EQ(in.size(), c.left);
  }
  EXPECT_EQ((BlobIndirection{{7, 5, 10}, 20}).debug_string(),
            "BlobIndirection { vhandle: ValueHandle { blob_file_id: 7, offset: 5, on_disk_size: 10 }, "
            "size: 20 }");
}

TEST(Utf8Test, Validate) {
  struct Case {
    std::string text;
    std::optional<Utf8Error> want;
  };
  const Case cases[] = {
      {"plain", std::nullopt},
      {"h\xc3\xa9llo \xe2\x82\xac \xf0\x9f\x98\x80", std::nullopt},
      {"ab\xff", Utf8Error{2, 1}},
      {"ab\xc3", Utf8Error{2, std::nullopt}},
      {"a\xe2\x82z", Utf8Error{1, 2}},
      {"\xc0\x80", Utf8Error{0, 1}},          // overlong
      {"\xed\xa0\x80", Utf8Error{0, 1}},      // surrogate
      {"\xf4\x90\x80\x80", Utf8Error{0, 1}},  // above U+10FFFF
  };
  for (const Case& c : cases) {
    EXPECT_EQ(validate_utf8(c.text), c.want) << ::testing::PrintToString(c.text);
  }
}

}  // namespace
}  // namespace tervik
