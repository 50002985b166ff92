// The stored value of a key whose value lives in a blob file: a ValueHandle
// (blob file id, offset, stored size) and the uncompressed size, encoded as
// four LEB128 varints (offset first). Written by blob writers and compaction,
// decoded by the read path. Plain values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tervik/core/error.h"

namespace tervik {

struct ValueHandle {
  uint64_t blob_file_id = 0;
  uint64_t offset = 0;        // position of the blob entry in its blob file
  uint32_t on_disk_size = 0;  // stored size of the value
  bool operator==(const ValueHandle&) const = default;
  // "ValueHandle { blob_file_id: 1, offset: 2, on_disk_size: 3 }"
  std::string debug_string() const;
};

struct BlobIndirection {
  ValueHandle vhandle;
  uint32_t size = 0;  // uncompressed value size
  bool operator==(const BlobIndirection&) const = default;

  // offset, blob_file_id, on_disk_size, size.
  std::string encode() const;
  // Consumes the bytes it reads from the front of *input. Input that ends
  // inside or before a varint is Io (unexpected end of file, "could not read
  // byte") and is consumed to its end; a varint longer than its field's width
  // allows is Io (invalid data, "varint exceeds its field width").
  static TervikResult<BlobIndirection> decode(std::string_view* input);

  std::string debug_string() const;
};

inline constexpr const char* kCouldNotReadByte = "could not read byte";
inline constexpr const char* kVarintTooWide = "varint exceeds its field width";

}  // namespace tervik
