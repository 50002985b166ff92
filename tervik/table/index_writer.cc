#include "tervik/table/index_writer.h"

#include "platform/log.h"
#include "platform/panic.h"

namespace tervik {

namespace {

constexpr const char* kFullTarget = "tervik::table::writer::index::full";
constexpr const char* kPartitionedTarget = "tervik::table::writer::index::partitioned";

void log_register(const char* target, const IndexBlockEntry& e) {
  if (!zv::log::enabled(zv::log::Level::kTrace)) return;
  zv::log::emit(zv::log::Level::kTrace, target,
                "Registering block at " + std::to_string(e.handle.offset) + " with size " +
                    std::to_string(e.handle.size) + " [end_key=" + e.end_key.debug_string() + "]",
                {});
}

// Encodes `entries` as one index block and frames it through the file writer;
// returns its size on disk.
TervikResult<uint64_t> write_index_block(TableOutput& out, const std::vector<IndexBlockEntry>& entries,
                                         CompressionType compression) {
  std::string payload;
  ZV_TRY(IndexBlock::encode_into(&payload, entries));
  ZV_ASSIGN_OR_RETURN(const BlockHeader header,
                      Block::write_into(out.writer(), payload, BlockType::kIndex, compression));
  return kBlockHeaderSize + uint64_t{header.data_length};
}

}  // namespace

TervikStatus FullIndexWriter::register_data_block(IndexBlockEntry entry) {
  log_register(kFullTarget, entry);
  entries_.push_back(std::move(entry));
  return {};
}

TervikResult<uint64_t> FullIndexWriter::finish(TableOutput& out) {
  ZV_TRY(out.start_section(kSectionTli));
  ZV_ASSIGN_OR_RETURN(const uint64_t size, write_index_block(out, entries_, compression_));
  if (zv::log::enabled(zv::log::Level::kTrace)) {
    zv::log::emit(zv::log::Level::kTrace, kFullTarget,
                  "Written top level index, with " + std::to_string(entries_.size()) +
                      " pointers (" + std::to_string(size) + "B)",
                  {});
  }
  return uint64_t{1};
}

PartitionedIndexWriter::PartitionedIndexWriter(CompressionType compression, uint32_t partition_size)
    : partition_size_(partition_size), compression_(compression) {
  scratch_.reserve(kDefaultPartitionSize);
}

TervikStatus PartitionedIndexWriter::register_data_block(IndexBlockEntry entry) {
  log_register(kPartitionedTarget, entry);
  size_estimate_ += static_cast<uint32_t>(entry.end_key.size()) + kIndexEntryOverhead;
  open_.push_back(std::move(entry));
  if (size_estimate_ >= partition_size_) ZV_TRY(cut_partition());
  return {};
}

TervikStatus PartitionedIndexWriter::cut_partition() {
  ZV_CHECK(!open_.empty(), kFatalEmptyPartition);
  std::string payload;
  ZV_TRY(IndexBlock::encode_into(&payload, open_));
  scratch_.clear();
  ZV_ASSIGN_OR_RETURN(const BlockHeader header,
                      Block::write_into(&scratch_, payload, BlockType::kIndex, compression_));
  partitions_.append(scratch_);
  const uint64_t size = kBlockHeaderSize + uint64_t{header.data_length};
  const IndexBlockEntry& last = open_.back();
  top_level_.push_back(IndexBlockEntry{last.end_key, last.seqno,
                                       BlockHandle{relative_offset_, static_cast<uint32_t>(size)}});
  relative_offset_ += size;
  ++partition_count_;
  open_.clear();
  size_estimate_ = 0;
  return {};
}

TervikResult<uint64_t> PartitionedIndexWriter::finish(TableOutput& out) {
  if (size_estimate_ != 0) ZV_TRY(cut_partition());
  ZV_ASSIGN_OR_RETURN(const uint64_t section_start, out.position());
  ZV_TRY(out.start_section(kSectionIndex));
  ZV_TRY(out.writer().write_all(partitions_));
  ZV_LOG(zv::log::Level::kTrace, kPartitionedTarget, "Concatted index partitions onto blocks file");

  ZV_TRY(out.start_section(kSectionTli));
  for (auto& e : top_level_) e.handle.offset += section_start;
  ZV_ASSIGN_OR_RETURN(const uint64_t size, write_index_block(out, top_level_, compression_));
  if (zv::log::enabled(zv::log::Level::kTrace)) {
    zv::log::emit(zv::log::Level::kTrace, kPartitionedTarget,
                  "Written top level index, with " + std::to_string(top_level_.size()) +
                      " pointers (" + std::to_string(size) + " bytes)",
                  {});
  }
  return partition_count_;
}

}  // namespace tervik
