#include "tervik/block/block.h"

#include <lz4.h>

#include <climits>
#include <cstring>

#include "platform/checksum.h"
#include "platform/coding.h"
#include "platform/log.h"

namespace tervik {

namespace {

// LZ4 emits at most 255 output bytes per input byte, plus a short tail.
constexpr uint64_t kLz4MaxExpansion = 255;
constexpr uint64_t kLz4ExpansionSlack = 16;
// Above this a positioned read first checks that the frame lies in the file,
// so that a damaged handle cannot make us allocate more than the file holds.
// Ordinary blocks stay below it and pay no size query.
constexpr uint32_t kCheckedReadThreshold = 256u << 10;
// A sequential read of a longer payload grows its buffer as bytes arrive.
constexpr uint32_t kChunkedReadThreshold = 16u << 20;
constexpr size_t kReadChunk = 1u << 20;

TervikError too_long(std::string_view what, uint64_t n, uint64_t limit) {
  return TervikError::io(zv::IoError(
      zv::IoErrorKind::kInvalidInput,
      std::string(what) + " of " + std::to_string(n) + " bytes exceeds the limit of " +
          std::to_string(limit) + " bytes"));
}

}  // namespace

TervikStatus check_frame_size(uint64_t payload_length, uint64_t stored_length) {
  if (payload_length > kMaxBlockLength) {
    return zv::make_unexpected(too_long("block payload", payload_length, kMaxBlockLength));
  }
  // Handles and index entries hold the frame size in 32 bits.
  if (stored_length > kMaxBlockLength - kBlockHeaderSize) {
    return zv::make_unexpected(too_long("block frame", kBlockHeaderSize + stored_length, kMaxBlockLength));
  }
  return {};
}

namespace {

uint32_t header_checksum(const char* bytes29) {
  return static_cast<uint32_t>(zv::xxh3_128(bytes29, kBlockHeaderHashedSize).low);
}

// Checks magic, type and header checksum of exactly 33 bytes, in that order.
// `have` is how many of them exist; a field that is missing fails as EOF.
TervikResult<BlockHeader> decode_header_bytes(const char* b, size_t have) {
  if (have < 4) return zv::make_unexpected(TervikError::short_read());
  if (std::memcmp(b, kBlockMagic, 4) != 0) {
    return zv::make_unexpected(TervikError::invalid_header(kBlockHeaderName));
  }
  if (have < 5) return zv::make_unexpected(TervikError::short_read());
  ZV_ASSIGN_OR_RETURN(BlockType type, parse_block_type(static_cast<uint8_t>(b[4])));
  if (have < kBlockHeaderSize) return zv::make_unexpected(TervikError::short_read());
  uint32_t computed = header_checksum(b);
  uint32_t stored = zv::coding::get_u32_le(b + kBlockHeaderHashedSize);
  if (computed != stored) {
    return zv::make_unexpected(
        TervikError::checksum_mismatch(Checksum(computed, 0), Checksum(stored, 0)));
  }
  BlockHeader h;
  h.block_type = type;
  h.checksum = Checksum::decode(reinterpret_cast<const uint8_t*>(b + 5));
  h.data_length = zv::coding::get_u32_le(b + 21);
  h.uncompressed_length = zv::coding::get_u32_le(b + 25);
  return h;
}

// Compresses when asked and fills the header; `stored` receives the LZ4
// output (left empty for an uncompressed payload, which is stored as is).
TervikResult<BlockHeader> frame(std::string_view payload, BlockType type,
                                CompressionType compression, std::string* stored) {
  ZV_TRY(check_frame_size(payload.size(), 0));
  std::string_view bytes = payload;
  if (compression == CompressionType::kLz4) {
    ZV_TRY(lz4_compress(payload, stored));
    bytes = *stored;
  }
  ZV_TRY(check_frame_size(payload.size(), bytes.size()));
  BlockHeader h;
  h.block_type = type;
  h.checksum = Checksum::of(bytes);
  h.data_length = static_cast<uint32_t>(bytes.size());
  h.uncompressed_length = static_cast<uint32_t>(payload.size());
  ZV_LOG(zv::log::Level::kTrace, kBlockLogTarget,
         "Writing block with size " + std::to_string(h.uncompressed_length) +
             "B (compressed: " + std::to_string(h.data_length) + "B) (excluding header of " +
             std::to_string(kBlockHeaderSize) + "B)");
  return h;
}

TervikError payload_mismatch(const std::string& source, Checksum got, Checksum expected) {
  ZV_ERROR(kBlockLogTarget, "Checksum mismatch for " + source + ", got=" + got.debug_string() +
                                ", expected=" + expected.debug_string());
  return TervikError::checksum_mismatch(got, expected);
}

// The payload of a checked frame: a view of `stored`, or its decompression.
TervikResult<Slice> unpack(const Slice& stored, const BlockHeader& h, CompressionType c) {
  if (c == CompressionType::kNone) return stored;
  return lz4_decompress(stored.view(), h.uncompressed_length);
}

}  // namespace

std::string_view block_type_name(BlockType t) {
  switch (t) {
    case BlockType::kData: return "Data";
    case BlockType::kIndex: return "Index";
    case BlockType::kFilter: return "Filter";
    case BlockType::kMeta: return "Meta";
  }
  return "Data";
}

TervikResult<BlockType> parse_block_type(uint8_t byte) {
  if (byte <= 3) return static_cast<BlockType>(byte);
  return zv::make_unexpected(TervikError::invalid_tag(kBlockTypeTagName, byte));
}

void BlockHeader::encode_to(std::string* dst) const {
  size_t start = dst->size();
  dst->append(kBlockMagic, 4);
  zv::coding::put_u8(dst, static_cast<uint8_t>(block_type));
  checksum.encode_to(dst);
  zv::coding::put_u32_le(dst, data_length);
  zv::coding::put_u32_le(dst, uncompressed_length);
  zv::coding::put_u32_le(dst, header_checksum(dst->data() + start));
}

TervikResult<BlockHeader> BlockHeader::decode(std::string_view bytes) {
  return decode_header_bytes(bytes.data(), bytes.size());
}

TervikResult<BlockHeader> BlockHeader::decode(Reader& reader) {
  // Field by field, so that a bad magic or type is reported before a short
  // read of the rest.
  char b[kBlockHeaderSize];
  size_t have = 0;
  for (size_t upto : {size_t{4}, size_t{5}, kBlockHeaderSize}) {
    zv::IoStatus st = read_exact(reader, b + have, upto - have);
    if (!st.ok()) return zv::make_unexpected(TervikError::io(std::move(st).error()));
    have = upto;
    auto h = decode_header_bytes(b, have);
    if (!h.ok() && h.error().kind() != TervikErrorKind::kIo) return h;
    if (have == kBlockHeaderSize) return h;
  }
  return zv::make_unexpected(TervikError::short_read());
}

std::string BlockHandle::debug_string() const {
  return "BlockHandle { offset: " + std::to_string(offset) + ", size: " + std::to_string(size) +
         " }";
}

TervikResult<BlockHeader> Block::write_into(std::string* out, std::string_view payload,
                                            BlockType type, CompressionType compression) {
  std::string compressed;
  ZV_ASSIGN_OR_RETURN(BlockHeader h, frame(payload, type, compression, &compressed));
  h.encode_to(out);
  out->append(compression == CompressionType::kLz4 ? std::string_view(compressed) : payload);
  return h;
}

TervikResult<BlockHeader> Block::write_into(Writer& out, std::string_view payload, BlockType type,
                                            CompressionType compression) {
  std::string compressed;
  ZV_ASSIGN_OR_RETURN(BlockHeader h, frame(payload, type, compression, &compressed));
  std::string header;
  header.reserve(kBlockHeaderSize);
  h.encode_to(&header);
  ZV_TRY(write_all(out, header));
  ZV_TRY(write_all(out, compression == CompressionType::kLz4 ? std::string_view(compressed)
                                                            : payload));
  return h;
}

TervikResult<Block> Block::from_frame(const Slice& frame_bytes, CompressionType compression,
                                      const BlockHandle& handle) {
  ZV_ASSIGN_OR_RETURN(BlockHeader h, BlockHeader::decode(frame_bytes.view()));
  Slice stored = frame_bytes.sub(kBlockHeaderSize, frame_bytes.size() - kBlockHeaderSize);
  Checksum got = Checksum::of(stored.view());
  if (got != h.checksum) {
    return zv::make_unexpected(payload_mismatch("block " + handle.debug_string(), got, h.checksum));
  }
  ZV_ASSIGN_OR_RETURN(Slice data, unpack(stored, h, compression));
  return Block{h, std::move(data)};
}

TervikResult<Block> Block::from_file(const zv::File& file, BlockHandle handle,
                                     CompressionType compression) {
  auto short_read = [&](size_t got) -> TervikError {
    auto len = file.size();
    std::string msg = "read_exact(" + std::to_string(got) + ") at " +
                      std::to_string(handle.offset) + " did not read enough bytes " +
                      std::to_string(handle.size) + "; file has length " +
                      (len.ok() ? std::to_string(*len) : std::string("unknown"));
    return TervikError::io(zv::IoError(zv::IoErrorKind::kUnexpectedEof, msg));
  };
  if (handle.size > kCheckedReadThreshold) {
    ZV_ASSIGN_OR_RETURN(uint64_t len, file.size());
    if (handle.offset > len || len - handle.offset < handle.size) {
      return zv::make_unexpected(
          short_read(handle.offset > len ? 0 : static_cast<size_t>(len - handle.offset)));
    }
  }
  zv::IoResult<size_t> got = size_t{0};
  Slice frame_bytes = Slice::build(handle.size, [&](uint8_t* dst) {
    got = file.read_at(dst, handle.size, handle.offset);
  });
  if (!got.ok()) return zv::make_unexpected(TervikError::io(std::move(got).error()));
  if (*got != handle.size) return zv::make_unexpected(short_read(*got));
  return from_frame(frame_bytes, compression, handle);
}

TervikResult<Block> Block::from_reader(Reader& reader, CompressionType compression) {
  ZV_ASSIGN_OR_RETURN(BlockHeader h, BlockHeader::decode(reader));
  zv::IoStatus st;
  Slice stored;
  if (h.data_length <= kChunkedReadThreshold) {
    stored = Slice::build(h.data_length, [&](uint8_t* dst) {
      st = read_exact(reader, dst, h.data_length);
    });
  } else {
    // A damaged length must not allocate more than the source really holds.
    std::string buf;
    while (st.ok() && buf.size() < h.data_length) {
      size_t n = std::min<size_t>(kReadChunk, h.data_length - buf.size());
      size_t at = buf.size();
      buf.resize(at + n);
      st = read_exact(reader, buf.data() + at, n);
    }
    if (st.ok()) stored = Slice(buf);
  }
  if (!st.ok()) return zv::make_unexpected(TervikError::io(std::move(st).error()));
  Checksum got = Checksum::of(stored.view());
  if (got != h.checksum) {
    return zv::make_unexpected(payload_mismatch("<bufreader>", got, h.checksum));
  }
  ZV_ASSIGN_OR_RETURN(Slice data, unpack(stored, h, compression));
  if (h.block_type != BlockType::kData) {
    return zv::make_unexpected(
        TervikError::invalid_tag(kBlockTypeTagName, static_cast<uint8_t>(h.block_type)));
  }
  return Block{h, std::move(data)};
}

TervikStatus lz4_compress(std::string_view src, std::string* out) {
  if (src.size() > static_cast<uint64_t>(LZ4_MAX_INPUT_SIZE)) {
    return zv::make_unexpected(too_long("LZ4 input", src.size(), LZ4_MAX_INPUT_SIZE));
  }
  const int src_len = static_cast<int>(src.size());
  out->resize(static_cast<size_t>(LZ4_compressBound(src_len)));
  const int n =
      LZ4_compress_default(src.data(), out->data(), src_len, static_cast<int>(out->size()));
  if (n <= 0) {
    return zv::make_unexpected(
        TervikError::io(zv::IoError(zv::IoErrorKind::kOther, "LZ4 compression failed")));
  }
  out->resize(static_cast<size_t>(n));
  return {};
}

TervikResult<Slice> lz4_decompress(std::string_view stored, uint32_t uncompressed_length) {
  const TervikError failed = TervikError::decompress(CompressionType::kLz4);
  if (uncompressed_length > kLz4MaxExpansion * stored.size() + kLz4ExpansionSlack ||
      stored.size() > static_cast<size_t>(INT_MAX) || uncompressed_length > INT_MAX) {
    return zv::make_unexpected(failed);
  }
  int n = -1;
  Slice out = Slice::build(uncompressed_length, [&](uint8_t* dst) {
    n = LZ4_decompress_safe(stored.data(), reinterpret_cast<char*>(dst),
                            static_cast<int>(stored.size()),
                            static_cast<int>(uncompressed_length));
  });
  if (n < 0 || static_cast<uint32_t>(n) != uncompressed_length) {
    return zv::make_unexpected(failed);
  }
  return out;
}

namespace varint {
void write_u16(std::string* out, uint16_t v) { zv::coding::put_varint(out, v); }
void write_u32(std::string* out, uint32_t v) { zv::coding::put_varint(out, v); }
void write_u64(std::string* out, uint64_t v) { zv::coding::put_varint(out, v); }
}  // namespace varint

}  // namespace tervik
