#include "tervik/table/multi_writer.h"

#include <algorithm>

#include "platform/fs.h"
#include "platform/log.h"
#include "platform/panic.h"

namespace tervik {

namespace {

void check_data_block_size(uint32_t bytes) { ZV_CHECK(bytes <= kMaxDataBlockSize, kFatalDataBlockTooLarge); }

}  // namespace

MultiWriter::MultiWriter(std::string folder, SeqNoCounter table_ids, uint64_t target_size,
                         uint8_t initial_level, TableWriter first)
    : folder_(std::move(folder)),
      table_ids_(std::move(table_ids)),
      target_size_(target_size),
      initial_level_(initial_level),
      writer_(std::move(first)) {}

TervikResult<TableWriter> MultiWriter::start_table(const std::string& folder, const SeqNoCounter& ids,
                                                   uint8_t initial_level) {
  const uint64_t id = ids.next();
  return TableWriter::create(zv::fs::join(folder, std::to_string(id)), id, initial_level);
}

TervikResult<MultiWriter> MultiWriter::create(std::string folder, SeqNoCounter table_ids,
                                              uint64_t target_size, uint8_t initial_level) {
  ZV_ASSIGN_OR_RETURN(TableWriter first, start_table(folder, table_ids, initial_level));
  return MultiWriter(std::move(folder), std::move(table_ids), target_size, initial_level,
                     std::move(first));
}

MultiWriter& MultiWriter::use_data_block_size(uint32_t bytes) {
  check_data_block_size(bytes);
  options_.data_block_size = bytes;
  writer_->data_block_size = bytes;
  return *this;
}

MultiWriter& MultiWriter::use_data_block_restart_interval(uint8_t interval) {
  options_.data_block_restart_interval = interval;
  writer_->data_block_restart_interval = interval;
  return *this;
}

MultiWriter& MultiWriter::use_index_block_restart_interval(uint8_t interval) {
  options_.index_block_restart_interval = interval;
  writer_->index_block_restart_interval = interval;
  return *this;
}

MultiWriter& MultiWriter::use_data_block_compression(CompressionType compression) {
  options_.data_block_compression = compression;
  writer_->data_block_compression = compression;
  return *this;
}

MultiWriter& MultiWriter::use_data_block_hash_ratio(float ratio) {
  options_.data_block_hash_ratio = ratio;
  writer_->data_block_hash_ratio = ratio;
  return *this;
}

MultiWriter& MultiWriter::use_index_block_compression(CompressionType compression) {
  options_.index_block_compression = compression;
  writer_->use_index_block_compression(compression);
  return *this;
}

MultiWriter& MultiWriter::use_bloom_policy(FilterPolicyEntry policy) {
  options_.bloom_policy = policy;
  writer_->use_bloom_policy(policy);
  return *this;
}

MultiWriter& MultiWriter::use_partitioned_index() {
  options_.partitioned_index = true;
  writer_->use_partitioned_index();
  return *this;
}

MultiWriter& MultiWriter::use_partitioned_filter() {
  options_.partitioned_filter = true;
  writer_->use_partitioned_filter();
  return *this;
}

std::vector<LinkedBlobFile> MultiWriter::take_linked_blob_files() {
  std::vector<LinkedBlobFile> files;
  files.reserve(linked_.size());
  for (auto& [id, file] : linked_) files.push_back(file);
  linked_.clear();
  // Id order, so that the same input always gives the same table bytes.
  std::sort(files.begin(), files.end(),
            [](const LinkedBlobFile& a, const LinkedBlobFile& b) { return a.blob_file_id < b.blob_file_id; });
  return files;
}

TervikStatus MultiWriter::rotate() {
  ZV_LOG(zv::log::Level::kDebug, kMultiWriterTarget, "Rotating table writer");
  ZV_ASSIGN_OR_RETURN(TableWriter next, start_table(folder_, table_ids_, initial_level_));
  next.data_block_compression = options_.data_block_compression;
  next.use_index_block_compression(options_.index_block_compression);
  check_data_block_size(options_.data_block_size);
  next.data_block_size = options_.data_block_size;
  next.data_block_restart_interval = options_.data_block_restart_interval;
  next.index_block_restart_interval = options_.index_block_restart_interval;
  next.use_bloom_policy(options_.bloom_policy);
  next.data_block_hash_ratio = options_.data_block_hash_ratio;
  if (options_.partitioned_index) next.use_partitioned_index();
  if (options_.partitioned_filter) next.use_partitioned_filter();

  TableWriter old = std::exchange(*writer_, std::move(next));
  old.linked_blob_files = take_linked_blob_files();
  ZV_ASSIGN_OR_RETURN(const std::optional<WrittenTable> table, std::move(old).finish());
  if (table) results_.push_back(*table);
  return {};
}

TervikStatus MultiWriter::write(InternalValue item) {
  const UserKey& key = item.key.user_key;
  if (!current_key_ || key > *current_key_) {
    current_key_ = key;
    if (writer_->data_position() >= target_size_) ZV_TRY(rotate());
  }
  return writer_->write(std::move(item));
}

void MultiWriter::register_blob(const BlobIndirection& indirection) {
  auto [it, inserted] = linked_.try_emplace(indirection.vhandle.blob_file_id);
  LinkedBlobFile& file = it->second;
  file.blob_file_id = indirection.vhandle.blob_file_id;
  file.bytes += indirection.size;
  file.on_disk_bytes += indirection.vhandle.on_disk_size;
  file.len += 1;
}

TervikResult<std::vector<WrittenTable>> MultiWriter::finish() && {
  writer_->linked_blob_files = take_linked_blob_files();
  ZV_ASSIGN_OR_RETURN(const std::optional<WrittenTable> table, std::move(*writer_).finish());
  writer_.reset();
  if (table) results_.push_back(*table);
  // The tables' names must survive a power loss before anyone lists them.
  if (!results_.empty()) ZV_TRY(sync_folder_(folder_));
  return std::move(results_);
}

}  // namespace tervik
