#include "tervik/core/byte_stream.h"

#include <algorithm>
#include <cstring>

#include "tervik/core/error.h"

namespace tervik {

zv::IoStatus write_all(Writer& w, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    auto r = w.write(p, n);
    if (!r.ok()) {
      if (r.error().kind() == zv::IoErrorKind::kInterrupted) continue;
      return zv::make_unexpected(std::move(r).error());
    }
    size_t k = *r;
    if (k == 0) {
      return zv::make_unexpected(zv::IoError(zv::IoErrorKind::kWriteZero, kWriteZeroMessage));
    }
    p += k;
    n -= k;
  }
  return {};
}

zv::IoStatus read_exact(Reader& r, void* buf, size_t n) {
  auto* p = static_cast<uint8_t*>(buf);
  while (n > 0) {
    auto got = r.read(p, n);
    if (!got.ok()) {
      if (got.error().kind() == zv::IoErrorKind::kInterrupted) continue;
      return zv::make_unexpected(std::move(got).error());
    }
    size_t k = *got;
    if (k == 0) {
      return zv::make_unexpected(short_read_error());
    }
    p += k;
    n -= k;
  }
  return {};
}

BufferedFileWriter::BufferedFileWriter(zv::File file, size_t capacity)
    : owned_(std::move(file)), file_(&owned_), capacity_(capacity == 0 ? 1 : capacity) {
  buf_.reserve(capacity_);
}

BufferedFileWriter::BufferedFileWriter(zv::File* borrowed, size_t capacity)
    : file_(borrowed), capacity_(capacity == 0 ? 1 : capacity) {
  buf_.reserve(capacity_);
}

BufferedFileWriter::~BufferedFileWriter() { (void)flush(); }

zv::IoResult<size_t> BufferedFileWriter::write(const uint8_t* data, size_t n) {
  if (buf_.size() + n > capacity_) ZV_TRY(flush());
  if (n >= capacity_) {
    // Too large to buffer: straight to the file.
    ZV_TRY(file_->write_all(data, n));
    return n;
  }
  buf_.insert(buf_.end(), data, data + n);
  return n;
}

zv::IoStatus BufferedFileWriter::flush() {
  if (buf_.empty()) return {};
  auto st = file_->write_all(buf_.data(), buf_.size());
  buf_.clear();
  return st;
}

zv::IoResult<uint64_t> BufferedFileWriter::position() const {
  ZV_ASSIGN_OR_RETURN(uint64_t pos, file_->position());
  return pos + buf_.size();
}

zv::IoStatus BufferedFileWriter::sync_all() {
  ZV_TRY(flush());
  return file_->sync_all();
}

zv::IoStatus BufferedFileWriter::sync_data() {
  ZV_TRY(flush());
  return file_->sync_data();
}

zv::IoResult<size_t> PositionedFileReader::read(uint8_t* buf, size_t n) {
  ZV_ASSIGN_OR_RETURN(size_t k, file_->read_at(buf, n, offset_));
  offset_ += k;
  return k;
}

zv::IoResult<size_t> BufferedReader::read(uint8_t* buf, size_t n) {
  if (n == 0) return size_t{0};
  if (pos_ == end_) {
    if (n >= buf_.size()) return inner_->read(buf, n);
    ZV_ASSIGN_OR_RETURN(size_t k, inner_->read(buf_.data(), buf_.size()));
    pos_ = 0;
    end_ = k;
    if (k == 0) return size_t{0};
  }
  size_t k = std::min(n, end_ - pos_);
  std::memcpy(buf, buf_.data() + pos_, k);
  pos_ += k;
  return k;
}

}  // namespace tervik
