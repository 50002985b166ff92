#include "platform/mmap.h"

#include "platform/residency.h"

#include <cerrno>
#include <sys/mman.h>
#include <unistd.h>

namespace zv {

size_t MemoryMap::page_size() {
  static const size_t ps = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return ps;
}

MemoryMap::~MemoryMap() {
  if (data_ && len_) ::munmap(data_, len_);
}

MemoryMap::MemoryMap(MemoryMap&& o) noexcept
    : data_(o.data_), len_(o.len_), writable_(o.writable_) {
  o.data_ = nullptr;
  o.len_ = 0;
}

MemoryMap& MemoryMap::operator=(MemoryMap&& o) noexcept {
  if (this != &o) {
    if (data_ && len_) ::munmap(data_, len_);
    data_ = o.data_;
    len_ = o.len_;
    writable_ = o.writable_;
    o.data_ = nullptr;
    o.len_ = 0;
  }
  return *this;
}

IoResult<MemoryMap> MemoryMap::map(const File& file, uint64_t offset, size_t len,
                                   bool writable) {
  MemoryMap m;
  m.writable_ = writable;
  if (len == 0) return m;
  int prot = PROT_READ | (writable ? PROT_WRITE : 0);
  void* p = ::mmap(nullptr, len, prot, MAP_SHARED, file.fd(), static_cast<off_t>(offset));
  if (p == MAP_FAILED) return make_unexpected(IoError::from_errno(errno));
  m.data_ = static_cast<uint8_t*>(p);
  m.len_ = len;
  return m;
}

IoResult<MemoryMap> MemoryMap::map_file(const File& file, bool writable) {
  ZV_ASSIGN_OR_RETURN(uint64_t n, file.size());
  return map(file, 0, static_cast<size_t>(n), writable);
}

namespace {
// Widens [offset, offset+len) to page boundaries inside the mapping.
void page_range(size_t offset, size_t len, size_t total, size_t* start, size_t* n) {
  size_t ps = MemoryMap::page_size();
  if (offset > total) offset = total;
  if (len > total - offset) len = total - offset;
  size_t s = offset / ps * ps;
  *start = s;
  *n = len + (offset - s);
}
}  // namespace

IoStatus MemoryMap::flush(size_t offset, size_t len) {
  if (!data_ || len == 0) return {};
  size_t s, n;
  page_range(offset, len, len_, &s, &n);
  if (n == 0) return {};
  if (::msync(data_ + s, n, MS_SYNC) != 0)
    return make_unexpected(IoError::from_errno(errno));
  return {};
}

IoStatus MemoryMap::advise(size_t offset, size_t len, MapAdvice advice) const {
  if (!data_ || len == 0) return {};
  size_t s, n;
  page_range(offset, len, len_, &s, &n);
  if (n == 0) return {};
  int a = MADV_NORMAL;
  switch (advice) {
    case MapAdvice::kNormal: a = MADV_NORMAL; break;
    case MapAdvice::kSequential: a = MADV_SEQUENTIAL; break;
    case MapAdvice::kRandom: a = MADV_RANDOM; break;
    case MapAdvice::kWillNeed: a = MADV_WILLNEED; break;
    case MapAdvice::kDontNeed: a = MADV_DONTNEED; break;
  }
  if (::madvise(data_ + s, n, a) != 0) return make_unexpected(IoError::from_errno(errno));
  return {};
}

IoResult<size_t> MemoryMap::resident_pages(size_t offset, size_t len) const {
  if (!data_ || len == 0) return size_t{0};
  size_t s, n;
  page_range(offset, len, len_, &s, &n);
  const Residency r = resident_pages_in_range(data_ + s, n);
  if (!r.known)
    return make_unexpected(IoError(IoErrorKind::kUnsupported, "residency query failed"));
  return static_cast<size_t>(r.pages);
}

}  // namespace zv
