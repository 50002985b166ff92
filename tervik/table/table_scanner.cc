#include "tervik/table/table_scanner.h"

#include <cstring>

namespace tervik {

TervikResult<TableScanner> TableScanner::create(const std::string& path, uint64_t data_block_count,
                                                CompressionType data_compression,
                                                SeqNo global_seqno) {
  ZV_ASSIGN_OR_RETURN(zv::File file, zv::File::open_read(path));
  ZV_ASSIGN_OR_RETURN(const uint64_t file_length, file.size());
  auto reader = std::make_unique<BufferedReader>(std::make_unique<FileReader>(std::move(file)),
                                                 kReadBufferSize);
  TableScanner scanner(std::move(reader), file_length, data_block_count, data_compression,
                       global_seqno);
  ZV_ASSIGN_OR_RETURN(DataBlockDecoder first, scanner.read_block());
  scanner.decoder_.emplace(std::move(first));
  return scanner;
}

TervikResult<DataBlockDecoder> TableScanner::read_block() {
  if (file_remaining_ < kBlockHeaderSize) return zv::make_unexpected(TervikError::short_read());
  char header_bytes[kBlockHeaderSize];
  ZV_TRY(read_exact(*reader_, header_bytes, kBlockHeaderSize));
  file_remaining_ -= kBlockHeaderSize;
  ZV_ASSIGN_OR_RETURN(BlockHeader h,
                      BlockHeader::decode(std::string_view(header_bytes, kBlockHeaderSize)));
  if (h.data_length > file_remaining_) return zv::make_unexpected(TervikError::short_read());
  zv::IoStatus st;
  Slice frame = Slice::build(kBlockHeaderSize + h.data_length, [&](uint8_t* dst) {
    std::memcpy(dst, header_bytes, kBlockHeaderSize);
    st = read_exact(*reader_, dst + kBlockHeaderSize, h.data_length);
  });
  if (!st.ok()) return zv::make_unexpected(TervikError::io(std::move(st).error()));
  file_remaining_ -= h.data_length;
  ZV_ASSIGN_OR_RETURN(Block block, Block::from_frame(frame, compression_));
  if (block.header.block_type != BlockType::kData) {
    return zv::make_unexpected(
        TervikError::invalid_tag(kBlockTypeTagName, static_cast<uint8_t>(block.header.block_type)));
  }
  return DataBlockDecoder::open(block);
}

ReadItem TableScanner::next() {
  auto fail = [this](TervikError e) {
    done_ = true;
    return ReadItem(zv::make_unexpected(std::move(e)));
  };
  while (!done_) {
    auto step = decoder_->next();
    if (!step.ok()) return fail(std::move(step).error());
    if (step->has_value()) {
      InternalValue v = std::move(**step);
      v.key.seqno += global_seqno_;
      return ReadItem(std::move(v));
    }
    // Never past the data section into the index or meta blocks.
    if (blocks_read_ >= data_block_count_) break;
    auto decoder = read_block();
    if (!decoder.ok()) return fail(std::move(decoder).error());
    decoder_.emplace(std::move(*decoder));
    ++blocks_read_;
  }
  done_ = true;
  return std::nullopt;
}

}  // namespace tervik
