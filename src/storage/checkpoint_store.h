// The stored checkpoint of the write-ahead log: "checkpoint_seq" in the
// internal-metadata partition, one LEB128 varint counting the log positions
// whose effects are in the backend. Reading it (missing or undecodable counts
// as 0) and the store the log calls to move it, which flushes the backend so
// the value is durable. Stateless; as thread-safe as the backend.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "src/backends/storage_backend.h"
#include "src/wal/sharded_wal.h"

namespace zv {

inline constexpr std::string_view kCheckpointSeqKey = "checkpoint_seq";

// The value as the open reads it: a varint at the start (trailing bytes are
// ignored); 0 when the bytes do not start with one.
uint64_t decode_checkpoint_value(std::string_view bytes);
// The stored checkpoint; a backend error is the result.
ZolvaResult<uint64_t> read_checkpoint(StorageBackend& backend);
// Puts the value and flushes the backend.
wal::CheckpointStore make_checkpoint_store(std::shared_ptr<StorageBackend> backend);

}  // namespace zv
