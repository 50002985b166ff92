// WorkerContext: what the background workers and every keyspace of one
// database share: the configuration, the keyspace map, the flush queue, the
// write-buffer size, the sequence-number counters, the snapshot tracker, the
// journal and the journal manager. Every member is shared and thread-safe
// behind the lock named at it.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "morva/src/db_config.h"
#include "morva/src/journal/journal.h"
#include "morva/src/journal/manager.h"
#include "morva/src/keyspace.h"
#include "morva/src/snapshot_tracker.h"
#include "morva/src/worker_message.h"
#include "platform/poison_lock.h"
#include "tervik/core/seqno.h"

namespace morva {

// Keyspace name to handle, behind one reader-writer lock.
struct KeyspaceMap {
  zv::PoisonRwLock lock;
  std::map<std::string, Keyspace, std::less<>> map;
};

// The sealed journals, behind their own reader-writer lock.
struct JournalManagerCell {
  explicit JournalManagerCell(zv::FileSystem& fs) : manager(fs) {}
  zv::PoisonRwLock lock;
  JournalManager manager;
};

struct WorkerContext {
  DatabaseConfig config;
  std::shared_ptr<KeyspaceMap> keyspaces;
  FlushQueueSender flush_tx;
  FlushQueueReceiver flush_rx;
  // Bytes held in active memtables.
  std::shared_ptr<std::atomic<uint64_t>> write_buffer_size;
  tervik::SeqNoCounter seqno;
  tervik::SeqNoCounter visible_seqno;
  std::shared_ptr<SnapshotTracker> snapshots;
  std::shared_ptr<Journal> journal;
  std::shared_ptr<JournalManagerCell> journal_manager;
};

}  // namespace morva
