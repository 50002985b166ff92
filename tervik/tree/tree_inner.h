// The shared state of one open tree: id counters, the super-version list
// behind `version_history`, the hidden-table set, the configuration, the stop
// signal and the tree's locks. Every Tree handle of the tree shares one
// TreeInner; releasing the last raises the stop signal. Thread-safe through
// the locks named at each field.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/poison_lock.h"
#include "tervik/config/tree_config.h"
#include "tervik/core/seqno.h"
#include "tervik/version/super_version.h"
#include "tervik/version/table_attributes.h"
#include "tervik/version/version_fs.h"

namespace tervik {

inline constexpr const char* kTreeTarget = "tervik::tree";
inline constexpr const char* kTreeInnerTarget = "tervik::tree::inner";

struct TreeInner {
  TreeInner(TreeConfig config, Version version, uint64_t tree_id, uint64_t table_id_start, VersionFs& fs);
  ~TreeInner();
  TreeInner(const TreeInner&) = delete;
  TreeInner& operator=(const TreeInner&) = delete;

  SeqNoCounter memtable_id_counter{1};
  SeqNoCounter table_id_counter;
  SeqNoCounter blob_file_id_counter{0};

  // Lock order wherever several are held: flush_lock, hidden_tables,
  // install_lock, version_history.

  // Serialises flushes and ingestion (held by their callers for the whole
  // flush).
  zv::PoisonMutex flush_lock;
  // Protects `hidden`: the tables that running compactions have taken.
  zv::PoisonMutex hidden_tables;
  HiddenTableSet hidden;
  // Serialises installs of derived versions, so that versions and their
  // seqnos are published in the order they were derived; held across the
  // persist, which runs with no lock of `version_history`.
  zv::PoisonMutex install_lock;
  // Protects `versions`. Writers and readers take it shared, only to reach
  // the latest super version; rotations and publishing take it exclusive and
  // never do I/O under it.
  zv::PoisonRwLock version_history;
  SuperVersions versions;
  // Held shared by each running compaction; nothing takes it exclusive.
  zv::PoisonRwLock compaction_lock;

  const TreeConfig config;
  const std::shared_ptr<std::atomic<bool>> stop_signal = std::make_shared<std::atomic<bool>>(false);
  const uint64_t id;
  // The file layer of version files and of their folder syncs.
  VersionFs& fs;
};

// The process-wide tree id counter: each call returns a new id.
uint64_t next_tree_id();

}  // namespace tervik
