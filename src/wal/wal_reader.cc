#include "src/wal/wal_reader.h"

namespace zv::wal {

WalReader::WalReader(std::unique_ptr<FsFile> file, size_t trailer, size_t buffer_size,
                     PayloadValidator validator, std::string label)
    : file_(std::move(file)),
      scanner_(std::make_unique<FrameScanner>(file_.get(), buffer_size, trailer, validator,
                                              std::move(label))) {}

WalReader::WalReader(WalReader&&) noexcept = default;
WalReader& WalReader::operator=(WalReader&&) noexcept = default;
WalReader::~WalReader() = default;

ZolvaResult<WalReader> WalReader::open(FileSystem& fs, const std::string& path,
                                       size_t buffer_size, PayloadValidator validator) {
  ZV_ASSIGN_OR_RETURN(auto file, fs.open(path, FsOpenMode::kRead));
  std::string header(kHeaderSize, '\0');
  ZV_TRY(read_exact_at(*file, header.data(), kHeaderSize, 0));
  ZV_ASSIGN_OR_RETURN(WalHeader h, WalHeader::validate(header));
  return WalReader(std::move(file), trailer_size(h.format_version), buffer_size, validator, path);
}

ZolvaResult<bool> WalReader::next(std::string* payload) {
  ZV_ASSIGN_OR_RETURN(const uint64_t size, file_->size());
  ZV_ASSIGN_OR_RETURN(const bool got, scanner_->next(size, payload));
  if (got) ++records_read_;
  return got;
}

}  // namespace zv::wal
