// The frame of every stored table block: a 33-byte header (magic, type,
// payload checksum, lengths, header checksum) followed by the payload, raw or
// LZ4-compressed. Table and blob writers frame payloads with Block::write_into;
// table readers load them with Block::from_file or Block::from_reader.
// A Block is immutable and shares its bytes by reference count: safe to share.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "tervik/core/byte_stream.h"
#include "tervik/core/checksum.h"
#include "tervik/core/compression_type.h"
#include "tervik/core/error.h"
#include "tervik/core/slice.h"

namespace tervik {

enum class BlockType : uint8_t {
  kData = 0,
  kIndex = 1,
  kFilter = 2,
  kMeta = 3,
};

inline constexpr std::string_view kBlockTypeTagName = "BlockType";
// "Data", "Index", "Filter", "Meta".
std::string_view block_type_name(BlockType t);
// 0 to 3; anything else is InvalidTag("BlockType", byte).
TervikResult<BlockType> parse_block_type(uint8_t byte);

inline constexpr size_t kBlockHeaderSize = 33;
// Bytes of the header covered by the header checksum.
inline constexpr size_t kBlockHeaderHashedSize = 29;
inline constexpr char kBlockMagic[4] = {'L', 'S', 'M', 3};
// Named by InvalidHeader when a frame does not start with the magic.
inline constexpr std::string_view kBlockHeaderName = "Block";
// Largest payload a frame can describe: its lengths are u32.
inline constexpr uint64_t kMaxBlockLength = 0xFFFF'FFFFu;
inline constexpr const char* kBlockLogTarget = "tervik::table::block";

struct BlockHeader {
  BlockType block_type = BlockType::kData;
  Checksum checksum;             // XXH3-128 of the stored payload
  uint32_t data_length = 0;      // stored payload bytes after the header
  uint32_t uncompressed_length = 0;

  // Appends the 33 stored bytes, header checksum included.
  void encode_to(std::string* dst) const;
  // Checks and decodes the first 33 bytes: magic, type, then header checksum.
  // A short input is Io, unexpected end of file.
  static TervikResult<BlockHeader> decode(std::string_view bytes);
  // The same, reading the header from a byte source.
  static TervikResult<BlockHeader> decode(Reader& reader);
};

// Where a block lies in its file: the first header byte and the frame size
// (33 + stored payload length).
struct BlockHandle {
  uint64_t offset = 0;
  uint32_t size = 0;

  bool operator==(const BlockHandle&) const = default;
  // "BlockHandle { offset: 10, size: 40 }"
  std::string debug_string() const;
};

struct Block {
  BlockHeader header;
  Slice data;  // the uncompressed payload

  // Frames a payload and appends it to `out` (the in-memory form used for
  // partitions). Returns the header written; the frame is 33 + data_length
  // bytes. A payload longer than the u32 length fields is refused.
  static TervikResult<BlockHeader> write_into(std::string* out, std::string_view payload,
                                              BlockType type, CompressionType compression);
  // The same, writing the frame through a byte sink (table and blob files).
  static TervikResult<BlockHeader> write_into(Writer& out, std::string_view payload,
                                              BlockType type, CompressionType compression);

  // Loads the block at `handle` with one positioned read and checks both
  // checksums; the type is not compared with what the caller expects.
  static TervikResult<Block> from_file(const zv::File& file, BlockHandle handle,
                                       CompressionType compression);
  // Reads the next block from a sequential source; only data blocks pass.
  static TervikResult<Block> from_reader(Reader& reader, CompressionType compression);
  // Checks and unpacks one whole frame held in memory (header and stored
  // payload). `handle` only names the block in the checksum-mismatch event.
  static TervikResult<Block> from_frame(const Slice& frame, CompressionType compression,
                                        const BlockHandle& handle = {});
};

// Refuses a frame whose lengths do not fit its u32 fields: a payload longer
// than kMaxBlockLength, or a header plus stored payload (what a handle's size
// holds) beyond it. Io "... exceeds the limit of ... bytes" (invalid input).
TervikStatus check_frame_size(uint64_t payload_length, uint64_t stored_length);

// LZ4 block-format compression of `src` (no length prefix) into `out`, which
// is replaced. Used by block frames and blob entries alike. An input beyond
// what LZ4 takes in one block is Io (invalid input).
TervikStatus lz4_compress(std::string_view src, std::string* out);

// LZ4 block-format decompression into exactly `uncompressed_length` bytes.
// Refused before allocating when LZ4 could not expand `stored` that far, and
// failed unless the output has exactly that length: Decompress(Lz4).
TervikResult<Slice> lz4_decompress(std::string_view stored, uint32_t uncompressed_length);

// The unsigned LEB128 writers every block encoder uses.
namespace varint {
void write_u16(std::string* out, uint16_t v);
void write_u32(std::string* out, uint32_t v);
void write_u64(std::string* out, uint64_t v);
}  // namespace varint

}  // namespace tervik
