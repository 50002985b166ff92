// JournalManager: the sealed journal files, oldest first, each with the
// sequence number every keyspace must have persisted in its tables before the
// file may go, and the disk space they take. Maintenance deletes fully flushed
// journals oldest first. Not thread-safe: the database keeps it behind its own
// reader-writer lock (taken for writing by maintenance, rotation and replay).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "morva/src/error.h"
#include "morva/src/keyspace_handle.h"
#include "platform/file_system.h"
#include "morva/src/journal/writer.h"

namespace morva {

struct JournalWatermark {
  std::shared_ptr<const KeyspaceHandle> keyspace;
  uint64_t seqno = 0;
};

struct SealedJournal {
  std::string path;
  std::vector<JournalWatermark> watermarks;
  uint64_t size = 0;  // bytes on disk
};

class JournalManager {
 public:
  explicit JournalManager(zv::FileSystem& fs = zv::FileSystem::os()) : fs_(&fs) {}
  ~JournalManager();
  JournalManager(const JournalManager&) = delete;
  JournalManager& operator=(const JournalManager&) = delete;

  // Lists a sealed journal (newest last) and counts its size.
  void enqueue(SealedJournal journal);

  // Deletes sealed journals, oldest first, while every keyspace of the oldest
  // has persisted its watermark. A failed delete returns Io; that journal
  // and every newer one stay listed.
  MorvaStatus maintenance();

  uint64_t disk_space_used() const { return disk_space_; }
  const std::deque<SealedJournal>& sealed_journals() const { return sealed_; }
  size_t sealed_journal_count() const { return sealed_.size(); }
  // Forgets every entry (the files stay).
  void clear();

 private:
  zv::FileSystem* fs_;
  std::deque<SealedJournal> sealed_;
  uint64_t disk_space_ = 0;
};

// The journal side of a rotation: seals the writer's file, continues in the
// next one and lists the sealed file with its watermarks. The caller holds
// the writer lock, then the manager's write lock (the engine's lock order).
MorvaStatus rotate_journal(JournalWriter& writer, JournalManager& manager,
                           std::vector<JournalWatermark> watermarks);

}  // namespace morva
