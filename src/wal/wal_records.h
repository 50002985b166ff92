// The log over WalRecord values: the payload check that makes a frame count
// as valid (it decodes as a WalRecord), record-level appends on ShardedWal,
// the sharded log's settings from the configuration, and recovery with the
// transaction filter, returning the records the storage engine replays.
// Stateless functions; the ShardedWal calls are as thread-safe as ShardedWal.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/foundation/error.h"
#include "src/record/wal_record.h"
#include "src/runtime/config.h"
#include "src/wal/sharded_wal.h"
#include "src/wal/wal_recovery.h"

namespace zv::wal {

// True when the payload decodes as a WalRecord.
bool wal_record_payload_valid(std::string_view payload);

// The database's settings: sync mode, ZIVIROR_WAL_BUFFER_SIZE (65,536 when
// unset), ZIVIROR_FLUSH_THRESHOLD, and the WalRecord payload check.
ShardedWalOptions sharded_wal_options(const Config& config);

ZolvaStatus append_record(ShardedWal& wal, const WalRecord& record);
// One Insert, Delete, ... per element, at consecutive positions; all or none.
ZolvaStatus append_records(ShardedWal& wal, std::span<const WalRecord> records);

struct SequencedRecord {
  uint64_t seq = 0;
  WalRecord record;
};

// The records to replay after `checkpoint_seq`, in acknowledgement order,
// with transactions that were aborted or never committed left out.
ZolvaResult<std::vector<SequencedRecord>> recover(const std::string& wal_path,
                                                  uint64_t configured_shards,
                                                  uint64_t checkpoint_seq,
                                                  FileSystem* fs = nullptr);

// The transaction filter alone, over records already in sequence order.
std::vector<SequencedRecord> filter_transactions(std::vector<SequencedRecord> records);

}  // namespace zv::wal
