#include "tervik/table/table_writer.h"

#include <utility>

#include "platform/coding.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/panic.h"
#include "tervik/block/data_block.h"
#include "tervik/core/fatal.h"
#include "tervik/core/unix_time.h"
#include "tervik/table/byte_vec.h"
#include "tervik/table/table_meta.h"

namespace tervik {

namespace {

std::string f32_bytes(float v) {
  std::string s;
  zv::coding::put_f32_le(&s, v);
  return s;
}

InternalValue meta_item(const char* key, std::string_view value) {
  return InternalValue::from_components(UserKey(std::string_view(key)), UserValue(value), 0,
                                        ValueType::kValue);
}

}  // namespace

TableWriter::TableWriter(std::string path, uint64_t table_id, uint8_t initial_level,
                         std::unique_ptr<TableOutput> out)
    : path_(std::move(path)),
      table_id_(table_id),
      initial_level_(initial_level),
      out_(std::move(out)),
      index_writer_(std::make_unique<FullIndexWriter>(CompressionType::kNone)),
      filter_writer_(std::make_unique<FullFilterWriter>(FilterPolicyEntry::bits_per_key(10.0f))) {}

TervikResult<TableWriter> TableWriter::create(const std::string& path, uint64_t table_id,
                                              uint8_t initial_level) {
  ZV_ASSIGN_OR_RETURN(std::unique_ptr<TableOutput> out, TableOutput::create(path));
  ZV_TRY(out->start_section(kSectionData));
  return TableWriter(path, table_id, initial_level, std::move(out));
}

TableWriter& TableWriter::use_bloom_policy(FilterPolicyEntry policy) {
  bloom_policy_ = policy;
  filter_writer_->set_bloom_policy(policy);
  return *this;
}

TableWriter& TableWriter::use_partitioned_index() {
  index_writer_ = std::make_unique<PartitionedIndexWriter>(index_block_compression_);
  return *this;
}

TableWriter& TableWriter::use_partitioned_filter() {
  filter_writer_ = std::make_unique<PartitionedFilterWriter>(bloom_policy_, index_block_compression_);
  return *this;
}

TableWriter& TableWriter::use_index_block_compression(CompressionType compression) {
  index_block_compression_ = compression;
  index_writer_->set_compression(compression);
  filter_writer_->set_compression(compression);
  return *this;
}

TableWriter& TableWriter::use_max_region_length(uint64_t bytes) {
  max_region_length_ = bytes;
  return *this;
}

TervikStatus TableWriter::write(InternalValue item) {
  const ValueType type = item.key.value_type;
  const UserKey& key = item.key.user_key;
  if (is_tombstone(type)) {
    ++tombstone_count_;
    if (type == ValueType::kWeakTombstone) ++weak_tombstone_count_;
  }
  if (type == ValueType::kValue && prev_ && prev_->type == ValueType::kWeakTombstone && prev_->key == key) {
    ++weak_tombstone_reclaimable_;
  }
  if (!current_key_ || *current_key_ != key) {
    ++key_count_;
    current_key_ = key;
    // A zero, negative or NaN parameter (or no filter at all) builds no filter.
    if (bloom_policy_.kind != FilterPolicyKind::kNone && bloom_policy_.value > 0.0f) {
      ZV_TRY(filter_writer_->register_key(key));
    }
  }
  if (!first_key_) first_key_ = key;
  block_size_ += key.size() + item.value.size();
  prev_ = PrevItem{key, type};
  const SeqNo seqno = item.key.seqno;
  block_items_.push_back(std::move(item));
  if (block_size_ >= data_block_size) ZV_TRY(spill_block());
  lowest_seqno_ = std::min(lowest_seqno_, seqno);
  highest_seqno_ = std::max(highest_seqno_, seqno);
  return {};
}

TervikStatus TableWriter::spill_block() {
  if (block_items_.empty()) return {};
  scratch_.clear();
  ZV_TRY(DataBlock::encode_into(&scratch_, block_items_, data_block_restart_interval,
                                data_block_hash_ratio));
  ZV_ASSIGN_OR_RETURN(const BlockHeader header,
                      Block::write_into(out_->writer(), scratch_, BlockType::kData, data_block_compression));
  uncompressed_size_ += header.uncompressed_length;
  const uint64_t size_on_disk = kBlockHeaderSize + uint64_t{header.data_length};
  ZV_CHECK(!block_items_.empty(), kFatalChunkEmpty);
  const InternalValue& last = block_items_.back();
  ZV_TRY(index_writer_->register_data_block(IndexBlockEntry{
      last.key.user_key, last.key.seqno, BlockHandle{data_position_, static_cast<uint32_t>(size_on_disk)}}));
  data_position_ += size_on_disk;
  ++data_block_count_;
  item_count_ += block_items_.size();
  last_key_ = last.key.user_key;
  block_items_.clear();
  block_size_ = 0;
  return {};
}

TervikStatus TableWriter::write_meta_block(uint64_t index_blocks, uint64_t filter_blocks) {
  ZV_CHECK(first_key_.has_value() && last_key_.has_value(), kFatalShouldExist);
  const time::UnixTimestamp now = time::unix_timestamp();
  const unsigned __int128 created_at =
      static_cast<unsigned __int128>(now.secs) * 1'000'000'000u + now.nanos;
  const std::string compression_data = byte_vec_from_u8(static_cast<uint8_t>(data_block_compression));
  const std::string compression_index =
      byte_vec_from_u8(static_cast<uint8_t>(index_block_compression_));
  const std::string u8_one = byte_vec_from_u8(1);

  const std::vector<InternalValue> items = {
      meta_item(kMetaBlockCountData, zv::coding::u64_le_bytes(data_block_count_)),
      meta_item(kMetaBlockCountFilter, zv::coding::u64_le_bytes(filter_blocks)),
      meta_item(kMetaBlockCountIndex, zv::coding::u64_le_bytes(index_blocks)),
      meta_item(kMetaChecksumType, byte_vec_from_u8(kMetaChecksumTypeXxh3)),
      meta_item(kMetaCompressionData, compression_data),
      meta_item(kMetaCompressionIndex, compression_index),
      meta_item(kMetaCoreVersion, kTableCoreVersion),
      meta_item(kMetaCreatedAt, zv::coding::u128_le_bytes(created_at)),
      meta_item(kMetaDataBlockHashRatio, f32_bytes(data_block_hash_ratio)),
      meta_item(kMetaFileSize, zv::coding::u64_le_bytes(data_position_)),
      meta_item(kMetaFilterHashType, byte_vec_from_u8(kMetaFilterHashXxh3)),
      meta_item(kMetaIndexKeysHaveSeqno, u8_one),
      meta_item(kMetaInitialLevel, byte_vec_from_u8(initial_level_)),
      meta_item(kMetaItemCount, zv::coding::u64_le_bytes(item_count_)),
      meta_item(kMetaKeyMax, last_key_->view()),
      meta_item(kMetaKeyMin, first_key_->view()),
      meta_item(kMetaKeyCount, zv::coding::u64_le_bytes(key_count_)),
      meta_item(kMetaPrefixTruncationData, u8_one),
      meta_item(kMetaPrefixTruncationIndex, u8_one),
      meta_item(kMetaRestartIntervalData, byte_vec_from_u8(data_block_restart_interval)),
      meta_item(kMetaRestartIntervalIndex, byte_vec_from_u8(index_block_restart_interval)),
      meta_item(kMetaSeqnoMax, zv::coding::u64_le_bytes(highest_seqno_)),
      meta_item(kMetaSeqnoMin, zv::coding::u64_le_bytes(lowest_seqno_)),
      meta_item(kMetaTableId, zv::coding::u64_le_bytes(table_id_)),
      meta_item(kMetaTableVersion, byte_vec_from_u8(kTableFormatVersion)),
      meta_item(kMetaTombstoneCount, zv::coding::u64_le_bytes(tombstone_count_)),
      meta_item(kMetaUserDataSize, zv::coding::u64_le_bytes(uncompressed_size_)),
      meta_item(kMetaWeakTombstoneCount, zv::coding::u64_le_bytes(weak_tombstone_count_)),
      meta_item(kMetaWeakTombstoneReclaimable, zv::coding::u64_le_bytes(weak_tombstone_reclaimable_)),
  };
  scratch_.clear();
  ZV_TRY(DataBlock::encode_into(&scratch_, items, 1, 0.0f));
  ZV_TRY(Block::write_into(out_->writer(), scratch_, BlockType::kMeta, CompressionType::kNone));
  return {};
}

TervikStatus TableWriter::check_regions() const {
  for (const auto& section : out_->sections()) {
    if (section.name == kSectionData || section.len <= max_region_length_) continue;
    return zv::make_unexpected(TervikError::io(zv::IoError(
        zv::IoErrorKind::kInvalidData, "table section \"" + section.name + "\" of " +
                                           std::to_string(section.len) +
                                           " bytes is too large for a block handle")));
  }
  return {};
}

void TableWriter::discard_file() {
  out_.reset();
  (void)zv::fs::remove_file(path_);
}

TervikResult<std::optional<WrittenTable>> TableWriter::finish() && {
  ZV_TRY(spill_block());
  if (item_count_ == 0) {
    out_.reset();
    ZV_TRY(zv::fs::remove_file(path_));
    return std::optional<WrittenTable>();
  }

  ZV_LOG(zv::log::Level::kTrace, kTableWriterTarget, "Finishing index writer");
  ZV_ASSIGN_OR_RETURN(const uint64_t index_blocks, index_writer_->finish(*out_));
  ZV_LOG(zv::log::Level::kTrace, kTableWriterTarget, "Finishing filter writer");
  ZV_ASSIGN_OR_RETURN(const uint64_t filter_blocks, filter_writer_->finish(*out_));

  if (!linked_blob_files.empty()) {
    ZV_TRY(out_->start_section(kSectionLinkedBlobFiles));
    std::string bytes;
    encode_linked_blob_files(linked_blob_files, &bytes);
    ZV_TRY(out_->writer().write_all(bytes));
  }
  ZV_TRY(out_->start_section(kSectionTableVersion));
  ZV_TRY(out_->writer().write_all(byte_vec_from_u8(kTableFormatVersion)));
  ZV_TRY(out_->start_section(kSectionMeta));
  ZV_TRY(write_meta_block(index_blocks, filter_blocks));
  ZV_TRY(out_->finish_archive());

  // A reader could not describe such a section and would refuse the table;
  // failing here keeps the caller from trusting it.
  if (auto st = check_regions(); !st.ok()) {
    discard_file();
    return zv::make_unexpected(std::move(st).error());
  }
  ZV_TRY(out_->sync());
  const Checksum checksum = out_->checksum();
  ZV_CHECK(!path_.empty() && path_ != "/", kFatalNoFolder);
  if (zv::log::enabled(zv::log::Level::kDebug)) {
    zv::log::emit(zv::log::Level::kDebug, kTableWriterTarget,
                  "Written " + std::to_string(item_count_) + " items in " +
                      std::to_string(data_block_count_) + " blocks into new table file #" +
                      std::to_string(table_id_) + ", written " +
                      std::to_string(data_position_ / 1048576) + " MiB",
                  {});
  }
  out_.reset();
  return std::optional<WrittenTable>(WrittenTable{table_id_, checksum});
}

}  // namespace tervik
