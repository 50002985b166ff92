// Journal: the active journal's writer behind one poison-reporting writer
// lock, shared by the database, its keyspaces and workers. Every append,
// persist, path query and rotation takes that lock, so batches never
// interleave in the file. Dropping the journal persists it with SyncAll.
// Thread-safe.
#pragma once

#include <memory>
#include <string>

#include "morva/src/error.h"
#include "platform/file_system.h"
#include "morva/src/journal/reader.h"
#include "morva/src/journal/writer.h"
#include "platform/poison_lock.h"

namespace morva {

class Journal {
 public:
  // A new journal file at `path` (see JournalWriter::create).
  static MorvaResult<std::shared_ptr<Journal>> create(zv::FileSystem& fs, std::string path);

  Journal(zv::FileSystem& fs, JournalWriter writer) : fs_(&fs), writer_(std::move(writer)) {}
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Sets both compression settings; a poisoned lock panics.
  Journal& with_compression(tervik::CompressionType setting, uint64_t threshold);

  // Persists under the writer lock; Poisoned when the lock is.
  MorvaStatus persist(PersistMode mode);
  // A copy of the active file's path; Poisoned when the lock is.
  MorvaResult<std::string> active_path();
  // A batch reader over the active file (its torn unsynced tail is cut,
  // holes in it included). Poisoned when the lock is, Io when the open fails.
  MorvaResult<JournalBatchReader> get_batch_reader();

  // The writer with its lock held, for the write paths and the worker loop.
  class Locked {
   public:
    JournalWriter* operator->() { return writer_; }
    JournalWriter& operator*() { return *writer_; }

   private:
    friend class Journal;
    Locked(zv::PoisonMutex::Guard g, JournalWriter* w) : guard_(std::move(g)), writer_(w) {}
    zv::PoisonMutex::Guard guard_;
    JournalWriter* writer_;
  };
  // Poisoned when a former holder panicked.
  MorvaResult<Locked> lock();

 private:
  zv::FileSystem* fs_;
  zv::PoisonMutex mutex_;
  JournalWriter writer_;
};

}  // namespace morva
