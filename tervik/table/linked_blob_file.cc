#include "tervik/table/linked_blob_file.h"

#include "platform/coding.h"

namespace tervik {

void encode_linked_blob_files(const std::vector<LinkedBlobFile>& files, std::string* dst) {
  zv::coding::put_u32_le(dst, static_cast<uint32_t>(files.size()));
  for (const auto& f : files) {
    zv::coding::put_u64_le(dst, f.blob_file_id);
    zv::coding::put_u64_le(dst, f.len);
    zv::coding::put_u64_le(dst, f.bytes);
    zv::coding::put_u64_le(dst, f.on_disk_bytes);
  }
}

}  // namespace tervik
