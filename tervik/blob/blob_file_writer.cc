#include "tervik/blob/blob_file_writer.h"

#include <cstring>

#include "platform/fs.h"
#include "platform/log.h"
#include "platform/panic.h"
#include "tervik/blob/blob_entry.h"
#include "tervik/block/block.h"
#include "tervik/core/archive_error_conversion.h"
#include "tervik/core/internal_value.h"
#include "tervik/core/unix_time.h"

namespace tervik {

namespace {

unsigned __int128 now_nanos() {
  const time::UnixTimestamp t = time::unix_timestamp();
  return static_cast<unsigned __int128>(t.secs) * 1'000'000'000u + t.nanos;
}

}  // namespace

BlobFileWriter::BlobFileWriter(zv::File file, std::string path, uint64_t blob_file_id,
                               uint64_t tree_id)
    : file_(std::move(file), kBlobWriteBufferSize),
      path_(std::move(path)),
      tree_id_(tree_id),
      blob_file_id_(blob_file_id) {}

TervikResult<std::unique_ptr<BlobFileWriter>> BlobFileWriter::create(const std::string& path,
                                                                     uint64_t blob_file_id,
                                                                     uint64_t tree_id) {
  ZV_ASSIGN_OR_RETURN(zv::File file, zv::File::create_new(path));
  std::unique_ptr<BlobFileWriter> w(
      new BlobFileWriter(std::move(file), path, blob_file_id, tree_id));
  ZV_TRY(w->archive_.start_section(kBlobDataSection));
  return w;
}

TervikResult<uint32_t> BlobFileWriter::write(std::string_view key, SeqNo seqno,
                                             std::string_view value) {
  ZV_CHECK(value.size() <= UINT32_MAX, kFatalBlobValueTooLong);
  return write(key, seqno, value, static_cast<uint32_t>(value.size()));
}

TervikResult<uint32_t> BlobFileWriter::write(std::string_view key, SeqNo seqno,
                                             std::string_view value, uint32_t value_length) {
  ZV_CHECK(!key.empty(), kFatalEmptyBlobKey);
  ZV_CHECK(key.size() <= kMaxUserKeyLength, kFatalBlobKeyTooLong);
  ZV_CHECK(value.size() <= UINT32_MAX, kFatalBlobValueTooLong);
  ZV_CHECK(!finished_, "blob file writer used after finish");

  if (!first_key_) first_key_.emplace(key);
  last_key_.assign(key);
  uncompressed_bytes_ += value_length;

  std::string compressed;
  std::string_view stored = value;
  if (compression_ == CompressionType::kLz4 && !precompressed_) {
    ZV_TRY(lz4_compress(value, &compressed));
    stored = compressed;
  }
  ZV_CHECK(stored.size() <= UINT32_MAX, kFatalBlobValueTooLong);

  BlobEntryHeader header;
  header.checksum = blob_entry_checksum(key, stored);
  header.seqno = seqno;
  header.key_length = static_cast<uint16_t>(key.size());
  header.value_length = value_length;
  header.stored_length = static_cast<uint32_t>(stored.size());

  // Header and key go out in one write; the value follows unbuffered when large.
  char head[kBlobEntryHeaderSize + 256];
  header.encode_to(head);
  if (key.size() <= sizeof(head) - kBlobEntryHeaderSize) {
    std::memcpy(head + kBlobEntryHeaderSize, key.data(), key.size());
    ZV_TRY(checksummed_.write_all(head, kBlobEntryHeaderSize + key.size()));
  } else {
    ZV_TRY(checksummed_.write_all(head, kBlobEntryHeaderSize));
    ZV_TRY(checksummed_.write_all(key));
  }
  ZV_TRY(checksummed_.write_all(stored));

  on_disk_bytes_ += stored.size();
  bytes_written_ += kBlobEntryHeaderSize + key.size() + stored.size();
  item_count_ += 1;
  return static_cast<uint32_t>(stored.size());
}

TervikResult<std::optional<std::shared_ptr<BlobFile>>> BlobFileWriter::finish(
    std::shared_ptr<FileDescriptorCache> cache) {
  ZV_CHECK(!finished_, "blob file writer finished twice");
  finished_ = true;
  if (item_count_ == 0) {
    if (auto st = zv::fs::remove_file(path_); !st.ok()) {
      ZV_WARN(kBlobWriterLogTarget,
              "Could not delete empty blob file at " + path_ + ": " + st.error().to_string());
    }
    return std::optional<std::shared_ptr<BlobFile>>();
  }

  ZV_TRY(archive_.start_section(kBlobMetaSection));
  ZV_TRY(checksummed_.write_all(kBlobMetaMagic));
  ZV_CHECK(first_key_.has_value(), "should have written at least 1 item");

  BlobFileMeta meta;
  meta.id = blob_file_id_;
  meta.created_at = now_nanos();
  meta.key_min = Slice(*first_key_);
  meta.key_max = Slice(last_key_);
  meta.item_count = item_count_;
  meta.file_size = on_disk_bytes_;
  meta.uncompressed_size = uncompressed_bytes_;
  meta.compression = compression_;
  ZV_ASSIGN_OR_RETURN(std::string payload, encode_blob_meta_payload(meta));
  ZV_TRY(Block::write_into(checksummed_, payload, BlockType::kMeta, CompressionType::kNone));
  ZV_TRY(from_archive_result(archive_.finish()));
  ZV_TRY(file_.sync_all());
  ZV_ASSIGN_OR_RETURN(uint64_t length, file_.position());

  ZV_ASSIGN_OR_RETURN(zv::File reader, zv::File::open_read(path_));
  auto handle = std::make_shared<const zv::File>(std::move(reader));

  BlobFile::Parts parts;
  parts.id = blob_file_id_;
  parts.tree_id = tree_id_;
  parts.path = path_;
  parts.checksum = checksummed_.checksum();
  parts.file_length = length;
  parts.meta = std::move(meta);
  if (cache) {
    cache->insert(tree_id_, blob_file_id_, FileKind::kBlob, std::move(handle));
    parts.descriptor_cache = std::move(cache);
  } else {
    parts.handle = std::move(handle);
  }
  return std::optional<std::shared_ptr<BlobFile>>(std::make_shared<BlobFile>(std::move(parts)));
}

}  // namespace tervik
