// A memory mapping of a file range, unmapped when destroyed. The mapped bytes
// may be read by many threads; writers synchronise among themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/file.h"

namespace zv {

enum class MapAdvice { kNormal, kSequential, kRandom, kWillNeed, kDontNeed };

class MemoryMap {
 public:
  MemoryMap() = default;
  ~MemoryMap();
  MemoryMap(MemoryMap&& other) noexcept;
  MemoryMap& operator=(MemoryMap&& other) noexcept;
  MemoryMap(const MemoryMap&) = delete;
  MemoryMap& operator=(const MemoryMap&) = delete;

  // Maps len bytes of the file from offset (a multiple of the page size).
  // A zero length gives an empty mapping.
  static IoResult<MemoryMap> map(const File& file, uint64_t offset, size_t len,
                                 bool writable);
  // Maps the whole file.
  static IoResult<MemoryMap> map_file(const File& file, bool writable);

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return len_; }
  bool writable() const { return writable_; }

  // Writes dirty pages of [offset, offset + len) back to the file (msync).
  IoStatus flush(size_t offset, size_t len);
  IoStatus flush() { return flush(0, len_); }
  // Hints how a range will be used; failures are ignored by callers.
  IoStatus advise(size_t offset, size_t len, MapAdvice advice) const;
  // Number of resident pages in [offset, offset + len).
  IoResult<size_t> resident_pages(size_t offset, size_t len) const;

  static size_t page_size();

 private:
  uint8_t* data_ = nullptr;
  size_t len_ = 0;
  bool writable_ = false;
};

}  // namespace zv
