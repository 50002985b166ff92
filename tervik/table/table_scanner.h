// Forward-only reading of a table's data blocks straight from the file, in
// file order, each block exactly once, past neither cache. Compaction reads
// its input tables with it. Owns its own file handle; one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tervik/block/data_block.h"
#include "tervik/core/byte_stream.h"
#include "tervik/core/read_item.h"

namespace tervik {

class TableScanner final : public ItemSource {
 public:
  static constexpr size_t kReadBufferSize = 32768;

  // Opens the file and reads its first data block.
  static TervikResult<TableScanner> create(const std::string& path, uint64_t data_block_count,
                                           CompressionType data_compression, SeqNo global_seqno);

  TableScanner(TableScanner&&) = default;
  TableScanner& operator=(TableScanner&&) = default;

  // Entries with their seqno raised by the global seqno; after
  // `data_block_count` blocks (at least the first) the end. After an error
  // the scanner is finished.
  ReadItem next() override;

  uint64_t blocks_read() const { return blocks_read_; }

 private:
  TableScanner(std::unique_ptr<Reader> reader, uint64_t file_remaining, uint64_t data_block_count,
               CompressionType data_compression, SeqNo global_seqno)
      : reader_(std::move(reader)),
        file_remaining_(file_remaining),
        data_block_count_(data_block_count),
        compression_(data_compression),
        global_seqno_(global_seqno) {}

  // The next data block of the file. A stored length beyond what is left of
  // the file fails as the short read it would be, before any allocation.
  TervikResult<DataBlockDecoder> read_block();

  std::unique_ptr<Reader> reader_;
  uint64_t file_remaining_;  // bytes of the file not yet read
  std::optional<DataBlockDecoder> decoder_;
  uint64_t blocks_read_ = 1;
  bool done_ = false;  // after an error or the end
  uint64_t data_block_count_;
  CompressionType compression_;
  SeqNo global_seqno_;
};

}  // namespace tervik
