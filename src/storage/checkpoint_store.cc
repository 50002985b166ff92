#include "src/storage/checkpoint_store.h"

#include "src/record/binary_form.h"

namespace zv {

uint64_t decode_checkpoint_value(std::string_view bytes) {
  BinaryReader r(bytes);
  auto v = r.varint_u64();
  return v.ok() ? v.value() : 0;
}

ZolvaResult<uint64_t> read_checkpoint(StorageBackend& backend) {
  ZV_ASSIGN_OR_RETURN(auto value, backend.get(Partition::kInternalMetadata, kCheckpointSeqKey));
  return value ? decode_checkpoint_value(*value) : 0;
}

wal::CheckpointStore make_checkpoint_store(std::shared_ptr<StorageBackend> backend) {
  return [backend = std::move(backend)](uint64_t seq) -> ZolvaStatus {
    ZV_TRY(backend->put(Partition::kInternalMetadata, kCheckpointSeqKey, encode_varint_u64(seq)));
    return backend->flush();
  };
}

}  // namespace zv
