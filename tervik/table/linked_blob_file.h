// A table's record of one blob file that its values point into, and the
// unframed "linked_blob_files" section that lists them. Written by the table
// writer, read by the table reader. Plain values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tervik {

inline constexpr const char* kSectionLinkedBlobFiles = "linked_blob_files";

struct LinkedBlobFile {
  uint64_t blob_file_id = 0;
  uint64_t bytes = 0;          // uncompressed sizes of the values, summed
  uint64_t on_disk_bytes = 0;  // their stored sizes, summed
  uint64_t len = 0;            // number of values
  bool operator==(const LinkedBlobFile&) const = default;
};

// u32 count, then per record blob_file_id, len, bytes, on_disk_bytes as u64
// (the count of values is stored second).
void encode_linked_blob_files(const std::vector<LinkedBlobFile>& files, std::string* dst);

}  // namespace tervik
