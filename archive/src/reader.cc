#include "archive/src/reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/src/trailer.h"
#include "platform/checksum.h"
#include "platform/coding.h"
#include "platform/log.h"

namespace zv::archive {

namespace {

constexpr const char* kTrailerReaderTarget = "archive::trailer::reader";
constexpr const char* kTocReaderTarget = "archive::toc::reader";

IoError unexpected_eof() { return IoError(IoErrorKind::kUnexpectedEof, kShortReadMessage); }

// Sequential reads of the table of contents through a fixed buffer, hashing
// every byte handed out.
class TocStream {
 public:
  TocStream(const File& file, uint64_t start, uint64_t file_size)
      : file_(file), offset_(start), file_size_(file_size), buffer_(kTocReadBufferSize) {}

  IoStatus read_exact(void* dst, size_t n) {
    auto* out = static_cast<char*>(dst);
    while (n > 0) {
      if (pos_ == len_) ZV_TRY(fill());
      const size_t take = std::min(n, len_ - pos_);
      std::memcpy(out, buffer_.data() + pos_, take);
      hasher_.update(out, take);
      pos_ += take;
      out += take;
      n -= take;
    }
    return {};
  }

  // Bytes of the file not yet handed out.
  uint64_t remaining() const { return file_size_ - offset_ + (len_ - pos_); }
  Hash128 checksum() const { return hasher_.digest(); }

 private:
  IoStatus fill() {
    if (offset_ >= file_size_) return make_unexpected(unexpected_eof());
    const size_t want =
        static_cast<size_t>(std::min<uint64_t>(buffer_.size(), file_size_ - offset_));
    ZV_ASSIGN_OR_RETURN(const size_t got, file_.read_at(buffer_.data(), want, offset_));
    if (got == 0) return make_unexpected(unexpected_eof());
    offset_ += got;
    pos_ = 0;
    len_ = got;
    return {};
  }

  const File& file_;
  uint64_t offset_;
  uint64_t file_size_;
  std::vector<char> buffer_;
  size_t pos_ = 0;
  size_t len_ = 0;
  Xxh3Hasher128 hasher_;
};

template <class T>
IoResult<T> read_le(TocStream& in) {
  uint8_t b[sizeof(T)];
  ZV_TRY(in.read_exact(b, sizeof(T)));
  return coding::get_le<T>(b);
}

ArchiveResult<std::vector<TocEntry>> read_toc(const File& file, uint64_t toc_pos,
                                              uint64_t file_size, Hash128 expected) {
  ZV_LOG(log::Level::kTrace, kTocReaderTarget, "Reading ToC");
  TocStream in(file, toc_pos, file_size);
  char magic[4];
  ZV_TRY(in.read_exact(magic, sizeof(magic)));
  if (std::string_view(magic, sizeof(magic)) != kTocMagic) {
    ZV_ERROR(kTocReaderTarget, "Invalid version");
    return make_unexpected(ArchiveError::invalid_version());
  }
  ZV_ASSIGN_OR_RETURN(const uint32_t count, read_le<uint32_t>(in));
  // A damaged count must not reserve memory the file could never fill.
  if (count > in.remaining() / kTocEntryFixedSize) return make_unexpected(unexpected_eof());

  std::vector<TocEntry> entries;
  entries.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    TocEntry e;
    ZV_ASSIGN_OR_RETURN(e.pos, read_le<uint64_t>(in));
    ZV_ASSIGN_OR_RETURN(e.len, read_le<uint64_t>(in));
    ZV_ASSIGN_OR_RETURN(const uint16_t name_len, read_le<uint16_t>(in));
    if (name_len > in.remaining()) return make_unexpected(unexpected_eof());
    e.name.resize(name_len);
    ZV_TRY(in.read_exact(e.name.data(), name_len));
    entries.push_back(std::move(e));
  }
  const Hash128 got = in.checksum();
  if (got != expected) return make_unexpected(ArchiveError::checksum_mismatch(got, expected));
  return entries;
}

}  // namespace

ArchiveResult<Toc> ArchiveReader::open(const std::string& path) {
  ZV_ASSIGN_OR_RETURN(const File file, File::open_read(path));
  ZV_LOG(log::Level::kTrace, kTrailerReaderTarget, "Reading trailer");
  ZV_ASSIGN_OR_RETURN(const uint64_t file_size, file.size());
  // Seeking 38 bytes before the start of a shorter file is an invalid
  // argument to the operating system.
  if (file_size < kTrailerSize) return make_unexpected(ArchiveError(IoError::from_errno(EINVAL)));

  uint8_t t[kTrailerSize];
  ZV_TRY(file.read_exact_at(t, sizeof(t), file_size - kTrailerSize));
  if (std::string_view(reinterpret_cast<const char*>(t), kTrailerMagic.size()) != kTrailerMagic) {
    ZV_ERROR(kTrailerReaderTarget, "Invalid trailer header");
    return make_unexpected(ArchiveError::invalid_header());
  }
  if (t[kTrailerVersionOffset] != kTrailerVersion) {
    ZV_ERROR(kTrailerReaderTarget, "Invalid version");
    return make_unexpected(ArchiveError::invalid_version());
  }
  if (t[kTrailerChecksumTypeOffset] != kChecksumTypeXxh3) {
    ZV_ERROR(kTrailerReaderTarget, "Invalid checksum type");
    return make_unexpected(ArchiveError::invalid_checksum_type());
  }
  const Hash128 stored = get_checksum(t + kTrailerChecksumOffset);
  const uint64_t toc_pos = coding::get_u64_le(t + kTrailerTocPosOffset);
  // toc_len is not needed: the table of contents describes its own length.
  ZV_ASSIGN_OR_RETURN(auto entries, read_toc(file, toc_pos, file_size, stored));
  return Toc(std::move(entries));
}

SectionReader::SectionReader(File file, uint64_t pos, uint64_t len)
    : file_(std::move(file)), next_file_offset_(pos), unread_in_file_(len) {}

IoStatus SectionReader::fill() {
  if (buffer_.empty()) buffer_.resize(kSectionReadBufferSize);
  const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer_.size(), unread_in_file_));
  ZV_ASSIGN_OR_RETURN(const size_t got, file_.read_at(buffer_.data(), want, next_file_offset_));
  next_file_offset_ += got;
  unread_in_file_ -= got;
  buf_pos_ = 0;
  buf_len_ = got;
  // A file that ends inside the section ends the data there too.
  if (got == 0) unread_in_file_ = 0;
  return {};
}

IoResult<size_t> SectionReader::read(void* dst, size_t n) {
  if (n == 0) return size_t{0};
  if (buf_pos_ == buf_len_) {
    if (unread_in_file_ == 0) return size_t{0};
    ZV_TRY(fill());
  }
  const size_t take = std::min(n, buf_len_ - buf_pos_);
  std::memcpy(dst, buffer_.data() + buf_pos_, take);
  buf_pos_ += take;
  return take;
}

IoStatus SectionReader::read_exact(void* dst, size_t n) {
  auto* out = static_cast<char*>(dst);
  while (n > 0) {
    ZV_ASSIGN_OR_RETURN(const size_t got, read(out, n));
    if (got == 0) return make_unexpected(unexpected_eof());
    out += got;
    n -= got;
  }
  return {};
}

IoStatus SectionReader::read_to_end(std::string* dst) {
  char chunk[4096];
  for (;;) {
    ZV_ASSIGN_OR_RETURN(const size_t got, read(chunk, sizeof(chunk)));
    if (got == 0) return {};
    dst->append(chunk, got);
  }
}

IoResult<SectionReader> section_reader(const std::string& path, const TocEntry& entry) {
  ZV_ASSIGN_OR_RETURN(File file, File::open_read(path));
  return SectionReader(std::move(file), entry.pos, entry.len);
}

}  // namespace zv::archive
