#include "tervik/blob/resolve_indirection.h"

#include "platform/log.h"
#include "platform/panic.h"
#include "tervik/blob/blob_entry.h"
#include "tervik/block/block.h"
#include "tervik/core/blob_indirection.h"

namespace tervik::vlog {

namespace {

// The entry's stored value: verified, then decompressed as the file says.
TervikResult<Slice> parse_entry(const Slice& bytes, size_t item_key_length,
                                const BlobIndirection& ind, const BlobFile& file) {
  ZV_ASSIGN_OR_RETURN(BlobEntryHeader header, BlobEntryHeader::parse(bytes.view()));
  if (kBlobEntryHeaderSize + size_t{header.key_length} > bytes.size()) {
    return zv::make_unexpected(TervikError::short_read());
  }
  const std::string_view key = bytes.view().substr(kBlobEntryHeaderSize, header.key_length);
  const size_t value_start = kBlobEntryHeaderSize + item_key_length;
  const std::string_view stored = bytes.view().substr(value_start);
  const Checksum got = blob_entry_checksum(key, stored);
  if (got != header.checksum) {
    ZV_ERROR(kVlogLogTarget, "Checksum mismatch for blob " + ind.vhandle.debug_string() +
                                 ", got=" + got.debug_string() +
                                 ", expected=" + header.checksum.debug_string());
    return zv::make_unexpected(TervikError::checksum_mismatch(got, header.checksum));
  }
  if (file.meta().compression == CompressionType::kLz4) {
    // The header's length is not covered by the checksum: it must agree with
    // the indirection before it sizes anything.
    if (header.value_length != ind.size) {
      return zv::make_unexpected(TervikError::decompress(CompressionType::kLz4));
    }
    return lz4_decompress(stored, ind.size);
  }
  return bytes.sub(value_start, stored.size());
}

}  // namespace

TervikResult<std::pair<UserKey, UserValue>> resolve_indirection(uint64_t tree_id,
                                                                const BlobFileMap& blob_files,
                                                                uint64_t version_id,
                                                                BlockCache& cache,
                                                                const InternalValue& item) {
  if (item.key.value_type != ValueType::kIndirection) {
    return std::pair<UserKey, UserValue>(item.key.user_key, item.value);
  }
  std::string_view encoded = item.value.view();
  ZV_ASSIGN_OR_RETURN(BlobIndirection ind, BlobIndirection::decode(&encoded));
  const ValueHandle& vh = ind.vhandle;

  if (auto hit = cache.get_blob(tree_id, vh.blob_file_id, vh.offset)) {
    return std::pair<UserKey, UserValue>(item.key.user_key, std::move(*hit));
  }

  auto found = blob_files.find(vh.blob_file_id);
  if (found == blob_files.end() || found->second == nullptr) {
    zv::panic("value handle (" + item.key.user_key.debug_string() + " => " + vh.debug_string() +
              kFatalNoMatchingBlob + std::to_string(version_id));
  }
  const BlobFile& file = *found->second;

  std::shared_ptr<const zv::File> handle = file.handle();
  bool fresh_handle = false;
  if (handle == nullptr && file.descriptor_cache()) {
    handle = file.descriptor_cache()->get(tree_id, vh.blob_file_id, FileKind::kBlob);
    if (handle == nullptr) {
      ZV_ASSIGN_OR_RETURN(zv::File opened, zv::File::open_read(file.path()));
      handle = std::make_shared<const zv::File>(std::move(opened));
      fresh_handle = true;
    }
  }
  ZV_CHECK(handle != nullptr, "blob file record without file access");

  // The read size comes from stored values: bound it by the file first.
  const uint64_t length =
      kBlobEntryHeaderSize + uint64_t{item.key.user_key.size()} + vh.on_disk_size;
  if (vh.offset > file.file_length() || length > file.file_length() - vh.offset) {
    return zv::make_unexpected(TervikError::short_read());
  }
  zv::IoStatus read_status;
  const Slice bytes = Slice::build(static_cast<size_t>(length), [&](uint8_t* dst) {
    read_status = handle->read_exact_at(dst, static_cast<size_t>(length), vh.offset);
  });
  if (!read_status.ok()) return zv::make_unexpected(TervikError::io(std::move(read_status).error()));

  ZV_ASSIGN_OR_RETURN(Slice value, parse_entry(bytes, item.key.user_key.size(), ind, file));
  cache.insert_blob(tree_id, vh.blob_file_id, vh.offset, value);
  if (fresh_handle) {
    file.descriptor_cache()->insert(tree_id, vh.blob_file_id, FileKind::kBlob, std::move(handle));
  }
  return std::pair<UserKey, UserValue>(item.key.user_key, std::move(value));
}

}  // namespace tervik::vlog
