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

// The parts of a tree that a running compaction shares with the tree's
// handles. Held apart from TreeInner so that a compaction can keep them
// while the last handle goes and raises the stop signal. Thread-safe
// through the locks named at each field.
struct TreeShared {
  TreeShared(TreeConfig config, Version version, VersionFs& fs);
  TreeShared(const TreeShared&) = delete;
  TreeShared& operator=(const TreeShared&) = delete;

  // Lock order wherever several are held: flush_lock (TreeInner),
  // hidden_tables, install_lock, version_history.

  // Protects `hidden`: the tables that running compactions have taken.
  zv::PoisonMutex hidden_tables;
  HiddenTableSet hidden;
  // Serialises installs of derived versions, so that versions and their
  // seqnos are published in the order they were derived; held across the
  // persist, which runs with no lock of `version_history`. While it is held
  // the latest version changes for nobody else.
  zv::PoisonMutex install_lock;
  // Protects `versions`. Writers and readers take it shared, only to reach
  // the latest super version; rotations and publishing take it exclusive and
  // never do I/O under it.
  zv::PoisonRwLock version_history;
  SuperVersions versions;
  // Held shared by each running compaction; nothing takes it exclusive.
  zv::PoisonRwLock compaction_lock;

  const TreeConfig config;
  // The file layer of version files and of their folder syncs.
  VersionFs& fs;
};

struct TreeInner {
  TreeInner(TreeConfig config, Version version, uint64_t tree_id, uint64_t table_id_start, VersionFs& fs);
  ~TreeInner();
  TreeInner(const TreeInner&) = delete;
  TreeInner& operator=(const TreeInner&) = delete;

  const std::shared_ptr<TreeShared> shared;

  SeqNoCounter memtable_id_counter{1};
  SeqNoCounter table_id_counter;
  SeqNoCounter blob_file_id_counter{0};

  // Serialises flushes and ingestion (held by their callers for the whole
  // flush).
  zv::PoisonMutex flush_lock;
  // The parts in `shared`, by their names.
  zv::PoisonMutex& hidden_tables = shared->hidden_tables;
  HiddenTableSet& hidden = shared->hidden;
  zv::PoisonMutex& install_lock = shared->install_lock;
  zv::PoisonRwLock& version_history = shared->version_history;
  SuperVersions& versions = shared->versions;
  zv::PoisonRwLock& compaction_lock = shared->compaction_lock;

  const TreeConfig& config = shared->config;
  const std::shared_ptr<std::atomic<bool>> stop_signal = std::make_shared<std::atomic<bool>>(false);
  const uint64_t id;
  VersionFs& fs = shared->fs;
};

// The process-wide tree id counter: each call returns a new id.
uint64_t next_tree_id();

}  // namespace tervik
