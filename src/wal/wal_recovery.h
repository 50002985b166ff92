// Recovery read of a (sharded) log at database open, before the log is opened
// for appending: every record of every shard file that exists, in position
// order (the order in which the appends were acknowledged), skipping the
// positions below the stored checkpoint. Runs on the opening thread; reads
// only, repairs nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "src/foundation/error.h"
#include "platform/file_system.h"
#include "src/wal/wal_format.h"

namespace zv::wal {

struct RecoveredPayload {
  uint64_t seq = 0;  // global position
  std::string payload;
};

struct RecoveryOptions {
  PayloadValidator validator = nullptr;
  FileSystem* fs = nullptr;  // null: the operating system's files
};

// The payloads at positions >= checkpoint_seq, fillers left out, sorted by
// position. The shard count is the one the files imply, else the configured
// one (0 is fine: a log that exists is replayed whatever the setting). A
// missing or 0-byte shard holds nothing; a shard whose header is short or
// invalid fails with "Failed to open WAL shard {i} during recovery: {...}".
ZolvaResult<std::vector<RecoveredPayload>> recover_payloads(const std::string& wal_path,
                                                            uint64_t configured_shards,
                                                            uint64_t checkpoint_seq,
                                                            const RecoveryOptions& options = {});

}  // namespace zv::wal
