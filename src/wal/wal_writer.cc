#include "src/wal/wal_writer.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/log.h"
#include "src/wal/wal_repair.h"

namespace zv::wal {
namespace {

constexpr const char* kLogTarget = "zolva::wal";
constexpr const char* kTruncateEvent = "Truncating corrupt or incomplete records at the end of WAL";
constexpr const char* kEmptyField = "wal_record";
constexpr const char* kEmptyReason = "an empty record cannot be written to the write-ahead log";
constexpr const char* kBrokenMessage =
    "WAL file is in an unknown state after a failed sync or a failed write that could not be "
    "undone; reopen the log: ";

ZolvaStatus check_payload(std::string_view payload) {
  if (payload.empty()) return make_unexpected(ZolvaError::validation(kEmptyField, kEmptyReason));
  if (payload.size() > kMaxPayloadSize) return make_unexpected(payload_too_large(payload.size()));
  return {};
}

// New files must survive a crash as soon as records in them are synced, so
// their header and directory entry are forced to disk once, at creation.
IoStatus write_header(FileSystem& fs, FsFile& file, const std::string& path) {
  const std::string header = WalHeader::make(kCurrentFormatVersion).encode();
  ZV_TRY(file.write_at(header.data(), header.size(), 0));
  ZV_TRY(file.sync());
  return fs.sync_dir(dir_of(path));
}

}  // namespace

WalWriter::WalWriter(std::string path, const WalWriterOptions& options, FileSystem* fs)
    : path_(std::move(path)), options_(options), fs_(fs),
      capacity_(static_cast<size_t>(
          std::clamp<uint64_t>(options.buffer_size, kMinBufferSize, kMaxBufferSize))) {}

WalWriter::~WalWriter() {
  if (!broken_ && file_) (void)flush_buffer();
}

ZolvaResult<std::unique_ptr<WalWriter>> WalWriter::open(const std::string& path,
                                                        const WalWriterOptions& options) {
  FileSystem* fs = options.fs ? options.fs : &FileSystem::os();
  std::unique_ptr<WalWriter> w(new WalWriter(path, options, fs));
  ZV_ASSIGN_OR_RETURN(auto file, fs->open(path, FsOpenMode::kReadWriteCreate));
  ZV_ASSIGN_OR_RETURN(const uint64_t size, file->size());
  if (size == 0) {
    ZV_TRY(w->start_fresh_file(std::move(file)));
    return w;
  }
  std::string header(kHeaderSize, '\0');
  ZV_TRY(read_exact_at(*file, header.data(), kHeaderSize, 0));
  ZV_ASSIGN_OR_RETURN(WalHeader h, WalHeader::validate(header));
  const size_t trailer = trailer_size(h.format_version);
  ZV_ASSIGN_OR_RETURN(ValidEnd valid,
                      find_valid_end(*fs, path, size, trailer, options.validator));
  if (valid.end < size) {
    ZV_WARN(kLogTarget, kTruncateEvent, {"path", path}, {"expected_len", std::to_string(size)},
            {"valid_len", std::to_string(valid.end)});
    quarantine_corrupt_tail(*fs, path, valid.end, size);
    ZV_TRY(file->set_len(valid.end));
    ZV_TRY(file->sync());
  }
  // The chain continues from the last valid record (a damaged frame's hash
  // field cannot be trusted).
  if (trailer != 0 && valid.record_end > kHeaderSize) {
    ZV_TRY(read_exact_at(*file, w->chain_.data(), w->chain_.size(), valid.record_end - 32));
  }
  w->file_ = std::move(file);
  w->flushed_ = valid.end;
  w->file_size_ = valid.end;
  w->record_count_ = valid.records;
  w->format_version_ = h.format_version;
  return w;
}

ZolvaStatus WalWriter::start_fresh_file(std::unique_ptr<FsFile> file) {
  ZV_TRY(write_header(*fs_, *file, path_));
  file_ = std::move(file);
  buffer_.clear();
  flushed_ = kHeaderSize;
  file_size_ = kHeaderSize;
  record_count_ = 0;
  since_sync_ = 0;
  chain_ = ChainValue{};
  format_version_ = kCurrentFormatVersion;
  return {};
}

ZolvaStatus WalWriter::check_usable() const {
  if (broken_) return make_unexpected(ZolvaError::wal(kBrokenMessage + path_));
  return {};
}

ZolvaStatus WalWriter::append(std::string_view payload) {
  ZV_TRY(check_payload(payload));
  ZV_TRY(check_usable());
  scratch_.clear();
  ChainValue chain = chain_;
  append_frame(&scratch_, payload, format_version_, &chain, &hasher_);
  return write_frames(scratch_, 1, chain);
}

ZolvaStatus WalWriter::append_batch(std::span<const std::string_view> payloads) {
  if (payloads.empty()) return {};
  for (std::string_view p : payloads) ZV_TRY(check_payload(p));
  ZV_TRY(check_usable());
  scratch_.clear();
  ChainValue chain = chain_;
  for (std::string_view p : payloads) append_frame(&scratch_, p, format_version_, &chain, &hasher_);
  return write_frames(scratch_, payloads.size(), chain);
}

ZolvaStatus WalWriter::write_frames(const std::string& frames, uint64_t records,
                                    const ChainValue& new_chain) {
  const uint64_t record_start = file_size_;
  IoStatus st = stage(frames);
  const bool syncing = sync_due(since_sync_ + records);
  if (st.ok() && syncing) st = sync_now();
  if (!st.ok()) {
    roll_back(record_start);
    return make_unexpected(ZolvaError::io(std::move(st).error()));
  }
  file_size_ = record_start + frames.size();
  record_count_ += records;
  since_sync_ = syncing ? 0 : since_sync_ + records;
  chain_ = new_chain;
  if (options_.auto_rotate) {
    // The record is durable by now; a failed rotation must not report it as
    // failed, so it is only reported as a warning.
    auto rotated = rotate_if_needed();
    if (!rotated.ok()) {
      ZV_WARN(kLogTarget, "WAL rotation failed", {"path", path_},
              {"error", rotated.error().message()});
    }
  }
  return {};
}

// Puts the frames in the buffer, or writes them straight out when they do
// not fit; earlier buffered frames always go first.
IoStatus WalWriter::stage(const std::string& frames) {
  if (buffer_.size() + frames.size() <= capacity_) {
    buffer_.append(frames);
    return {};
  }
  ZV_TRY(flush_buffer());
  if (frames.size() < capacity_) {
    buffer_.append(frames);
    return {};
  }
  ZV_TRY(file_->write_at(frames.data(), frames.size(), flushed_));
  flushed_ += frames.size();
  return {};
}

IoStatus WalWriter::flush_buffer() {
  if (buffer_.empty()) return {};
  ZV_TRY(file_->write_at(buffer_.data(), buffer_.size(), flushed_));
  flushed_ += buffer_.size();
  buffer_.clear();
  return {};
}

IoStatus WalWriter::sync_now() {
  ZV_TRY(flush_buffer());
  IoStatus st = file_->sync();
  // After a failed sync the kernel may drop pages written earlier and not yet
  // on disk, and a later sync succeeds without saying so: what the file holds
  // is unknown until a reopen reads it again.
  if (!st.ok()) broken_ = true;
  return st;
}

bool WalWriter::sync_due(uint64_t since_sync) const {
  switch (static_cast<SyncMode>(options_.sync_mode)) {
    case SyncMode::kNever:
      return false;
    case SyncMode::kEveryNth:
      return since_sync >= std::max<uint64_t>(options_.sync_every.value_or(1), 1);
    default:
      return true;
  }
}

// Removes exactly the bytes of the failed append: from the buffer when they
// are still there, else by cutting the file back to where they began. Frames
// buffered before it are acknowledged records and stay queued for the file.
void WalWriter::roll_back(uint64_t record_start) {
  if (flushed_ > record_start) {
    flushed_ = record_start;
    buffer_.clear();
  } else {
    buffer_.resize(static_cast<size_t>(record_start - flushed_));
  }
  // A failed write may have left part of its bytes past flushed_.
  if (!file_->set_len(flushed_).ok()) broken_ = true;
}

ZolvaStatus WalWriter::roll_back_to(const Mark& mark) {
  ZV_TRY(check_usable());
  roll_back(mark.file_size);
  ZV_TRY(check_usable());
  file_size_ = mark.file_size;
  record_count_ = mark.record_count;
  since_sync_ = mark.since_sync;
  chain_ = mark.chain;
  return {};
}

ZolvaStatus WalWriter::sync() {
  ZV_TRY(check_usable());
  ZV_TRY(sync_now());
  since_sync_ = 0;
  return {};
}

ZolvaResult<bool> WalWriter::rotate_if_needed() {
  if (file_size_ < options_.max_file_size) return false;
  ZV_TRY(rotate());
  return true;
}

ZolvaStatus WalWriter::rotate() {
  ZV_TRY(check_usable());
  ZV_TRY(sync_now());
  since_sync_ = 0;
  const std::string archive = path_ + "." + std::to_string(now_ms());
  if (fs_->exists(archive)) ZV_TRY(fs_->remove_file(archive));
  ZV_TRY(fs_->rename(path_, archive));
  // From here the old file is gone from its path: only a fresh one will do.
  auto file = fs_->open(path_, FsOpenMode::kCreateTruncate);
  if (!file.ok()) {
    broken_ = true;
    return make_unexpected(ZolvaError::io(std::move(file).error()));
  }
  auto st = start_fresh_file(std::move(file).value());
  if (!st.ok()) broken_ = true;
  return st;
}

}  // namespace zv::wal
