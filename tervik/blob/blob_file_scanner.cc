#include "tervik/blob/blob_file_scanner.h"

#include <algorithm>

#include "platform/log.h"
#include "tervik/blob/blob_entry.h"

namespace tervik {

TervikResult<BlobFileScanner> BlobFileScanner::open(const std::string& path,
                                                    uint64_t blob_file_id) {
  ZV_ASSIGN_OR_RETURN(zv::File file, zv::File::open_read(path));
  ZV_ASSIGN_OR_RETURN(uint64_t length, file.size());
  return BlobFileScanner(std::make_unique<zv::File>(std::move(file)), length, blob_file_id);
}

TervikResult<std::vector<BlobFileScanner>> BlobFileScanner::open_all(
    const std::vector<std::shared_ptr<BlobFile>>& files) {
  std::vector<BlobFileScanner> scanners;
  scanners.reserve(files.size());
  for (const auto& f : files) {
    ZV_ASSIGN_OR_RETURN(auto s, open(f->path(), f->id()));
    scanners.push_back(std::move(s));
  }
  return scanners;
}

BlobFileScanner::BlobFileScanner(std::unique_ptr<zv::File> file, uint64_t length,
                                 uint64_t blob_file_id)
    : file_(std::move(file)),
      reader_(std::make_unique<BufferedReader>(std::make_unique<PositionedFileReader>(*file_, 0),
                                               kReadBufferSize)),
      file_length_(length),
      blob_file_id_(blob_file_id) {}

zv::IoStatus BlobFileScanner::read_exact(void* dst, size_t n) {
  ZV_TRY(tervik::read_exact(*reader_, dst, n));
  position_ += n;
  return {};
}

TervikResult<Slice> BlobFileScanner::read_slice(size_t n) {
  zv::IoStatus status;
  Slice s = Slice::build(n, [&](uint8_t* dst) { status = read_exact(dst, n); });
  if (!status.ok()) return zv::make_unexpected(TervikError::io(std::move(status).error()));
  return s;
}

TervikResult<std::optional<BlobScanEntry>> BlobFileScanner::next() {
  if (terminated_) return std::optional<BlobScanEntry>();
  BlobScanEntry entry;
  entry.offset = position_;

  char head[kBlobEntryHeaderSize];
  ZV_TRY(read_exact(head, kBlobEntryMagic.size()));
  const std::string_view magic(head, kBlobEntryMagic.size());
  if (magic == kBlobMetaMagic) {
    terminated_ = true;
    return std::optional<BlobScanEntry>();
  }
  if (magic != kBlobEntryMagic) {
    return zv::make_unexpected(TervikError::invalid_header(kBlobHeaderName));
  }
  ZV_TRY(read_exact(head + kBlobEntryMagic.size(), kBlobEntryHeaderSize - kBlobEntryMagic.size()));
  const BlobEntryHeader header = BlobEntryHeader::decode(head);

  // The lengths are not covered by the checksum: bound them by the file.
  const uint64_t left = file_length_ - std::min(file_length_, position_);
  if (uint64_t{header.key_length} + header.stored_length > left) {
    return zv::make_unexpected(TervikError::short_read());
  }
  ZV_ASSIGN_OR_RETURN(entry.key, read_slice(header.key_length));
  ZV_ASSIGN_OR_RETURN(entry.value, read_slice(header.stored_length));

  const Checksum got = blob_entry_checksum(entry.key.view(), entry.value.view());
  if (got != header.checksum) {
    ZV_ERROR(kBlobScannerLogTarget, "Checksum mismatch for blob>" +
                                        std::to_string(blob_file_id_) + "@" +
                                        std::to_string(entry.offset) + ", got=" +
                                        got.debug_string() + ", expected=" +
                                        header.checksum.debug_string());
    return zv::make_unexpected(TervikError::checksum_mismatch(got, header.checksum));
  }
  entry.seqno = header.seqno;
  entry.uncompressed_length = header.value_length;
  return std::optional<BlobScanEntry>(std::move(entry));
}

}  // namespace tervik
