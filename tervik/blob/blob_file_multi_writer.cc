#include "tervik/blob/blob_file_multi_writer.h"

#include "platform/fs.h"
#include "platform/log.h"
#include "platform/panic.h"

namespace tervik {

std::string blob_file_path(const std::string& folder, uint64_t id) {
  return zv::fs::join(folder, std::to_string(id));
}

TervikResult<BlobFileMultiWriter> BlobFileMultiWriter::create(
    std::string folder, SeqNoCounter ids, uint64_t tree_id,
    std::shared_ptr<FileDescriptorCache> cache) {
  BlobFileMultiWriter w(std::move(folder), std::move(ids), tree_id, std::move(cache));
  ZV_ASSIGN_OR_RETURN(w.active_, w.open_next());
  return w;
}

TervikResult<std::unique_ptr<BlobFileWriter>> BlobFileMultiWriter::open_next() {
  const uint64_t id = ids_.next();
  ZV_ASSIGN_OR_RETURN(auto writer, BlobFileWriter::create(blob_file_path(folder_, id), id, tree_id_));
  writer->set_compression(compression_);
  writer->set_precompressed(precompressed_);
  return writer;
}

void BlobFileMultiWriter::set_compression(CompressionType c) {
  compression_ = c;
  active_->set_compression(c);
}

void BlobFileMultiWriter::set_precompressed(bool on) {
  precompressed_ = on;
  active_->set_precompressed(on);
}

TervikResult<ValueHandle> BlobFileMultiWriter::write(std::string_view key, SeqNo seqno,
                                                     std::string_view value) {
  ZV_CHECK(value.size() <= UINT32_MAX, kFatalBlobValueTooLong);
  return write(key, seqno, value, static_cast<uint32_t>(value.size()));
}

TervikResult<ValueHandle> BlobFileMultiWriter::write(std::string_view key, SeqNo seqno,
                                                     std::string_view value,
                                                     uint32_t value_length) {
  ValueHandle handle;
  handle.offset = active_->bytes_written();
  ZV_ASSIGN_OR_RETURN(handle.on_disk_size, active_->write(key, seqno, value, value_length));
  handle.blob_file_id = active_->id();
  if (active_->bytes_written() >= target_size_) ZV_TRY(rotate());
  return handle;
}

TervikStatus BlobFileMultiWriter::rotate() {
  ZV_LOG(zv::log::Level::kDebug, kBlobMultiWriterLogTarget, "Rotating blob file writer");
  ZV_ASSIGN_OR_RETURN(auto next, open_next());
  std::unique_ptr<BlobFileWriter> previous = std::exchange(active_, std::move(next));
  ZV_ASSIGN_OR_RETURN(auto done, previous->finish(cache_));
  if (done) finished_.push_back(std::move(*done));
  return {};
}

TervikResult<std::vector<std::shared_ptr<BlobFile>>> BlobFileMultiWriter::finish() && {
  ZV_ASSIGN_OR_RETURN(auto done, active_->finish(cache_));
  active_.reset();
  if (done) finished_.push_back(std::move(*done));
  ZV_TRY(sync_folder_(folder_));
  return std::move(finished_);
}

}  // namespace tervik
