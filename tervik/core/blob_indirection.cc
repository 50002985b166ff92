#include "tervik/core/blob_indirection.h"

#include "platform/coding.h"

namespace tervik {

std::string ValueHandle::debug_string() const {
  return "ValueHandle { blob_file_id: " + std::to_string(blob_file_id) +
         ", offset: " + std::to_string(offset) +
         ", on_disk_size: " + std::to_string(on_disk_size) + " }";
}

std::string BlobIndirection::debug_string() const {
  return "BlobIndirection { vhandle: " + vhandle.debug_string() +
         ", size: " + std::to_string(size) + " }";
}

std::string BlobIndirection::encode() const {
  std::string out;
  zv::coding::put_varint(&out, vhandle.offset);
  zv::coding::put_varint(&out, vhandle.blob_file_id);
  zv::coding::put_varint(&out, vhandle.on_disk_size);
  zv::coding::put_varint(&out, size);
  return out;
}

TervikResult<BlobIndirection> BlobIndirection::decode(std::string_view* input) {
  const auto* pos = reinterpret_cast<const uint8_t*>(input->data());
  const uint8_t* const end = pos + input->size();
  uint64_t fields[4];
  static constexpr unsigned kWidths[4] = {64, 64, 32, 32};
  for (int i = 0; i < 4; ++i) {
    switch (zv::coding::get_varint(&pos, end, &fields[i], kWidths[i])) {
      case zv::coding::VarintStatus::kOk:
        break;
      case zv::coding::VarintStatus::kTruncated:
        input->remove_prefix(input->size());
        return zv::make_unexpected(TervikError::io(
            zv::IoError(zv::IoErrorKind::kUnexpectedEof, kCouldNotReadByte)));
      case zv::coding::VarintStatus::kOverflow:
        input->remove_prefix(input->size());
        return zv::make_unexpected(TervikError::io(
            zv::IoError(zv::IoErrorKind::kInvalidData, kVarintTooWide)));
    }
  }
  input->remove_prefix(static_cast<size_t>(pos - reinterpret_cast<const uint8_t*>(input->data())));
  BlobIndirection b;
  b.vhandle.offset = fields[0];
  b.vhandle.blob_file_id = fields[1];
  b.vhandle.on_disk_size = static_cast<uint32_t>(fields[2]);
  b.size = static_cast<uint32_t>(fields[3]);
  return b;
}

}  // namespace tervik
