// Super versions: a version paired with the memtables current with it and
// the sequence number from which on snapshots see it; and the tree's list of
// them, oldest first, with the lookup a read at a snapshot uses, the
// publishing of a derived version and the manifest garbage collection.
// SuperVersion values are cheap clones of shared parts. SuperVersions is not
// thread-safe: the tree keeps it behind its reader-writer lock (lookups under
// the shared lock, append_version, replace_latest and gc under the exclusive).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "tervik/core/error.h"
#include "tervik/core/seqno.h"
#include "tervik/memtable/memtable.h"
#include "tervik/version/sealed_memtables.h"
#include "tervik/version/version.h"
#include "tervik/version/version_fs.h"

namespace tervik {

inline constexpr const char* kFatalFindSuperVersion = "should always find a SuperVersion";
inline constexpr const char* kSuperVersionTarget = "tervik::version::super_version";

struct SuperVersion {
  std::shared_ptr<Memtable> active_memtable;
  SealedMemtablesHandle sealed_memtables;
  Version version;
  SeqNo seqno = 0;
};

class SuperVersions {
 public:
  // One super version: a new empty memtable (id 0), no sealed memtables,
  // `first`, seqno 0.
  explicit SuperVersions(Version first);

  size_t size() const { return list_.size(); }
  const SuperVersion& at(size_t i) const { return list_.at(i); }
  // The newest; an empty list is the fatal error "should always have a SuperVersion".
  const SuperVersion& latest() const;

  // Snapshot 0: the oldest; otherwise the newest whose seqno is below the
  // snapshot. None qualifying is logged and the fatal error "should always
  // find a SuperVersion". Returns a clone.
  SuperVersion find_for_snapshot(SeqNo snapshot) const;

  // Replaces the newest in place (memtable rotation, clearing the active
  // memtable); the version stays the same.
  void replace_latest(SuperVersion next);

  // Publishes a derived version: draws a seqno from `seqno`, persists the
  // version into `folder`, appends {active, sealed, version, seqno} and raises
  // `visible_seqno` to at least seqno + 1. A failed persist is returned and
  // nothing is published (the seqno stays drawn). Returns the seqno.
  TervikResult<SeqNo> append_version(const std::string& folder, const SeqNoCounter& seqno,
                                     const SeqNoCounter& visible_seqno, Version version,
                                     std::shared_ptr<Memtable> active, SealedMemtablesHandle sealed,
                                     VersionFs& fs = VersionFs::os());

  // Removes the super versions older than the newest one whose seqno is below
  // `watermark`, deleting their version files (a missing one is fine).
  // Watermark 0 or a single super version changes nothing.
  TervikStatus gc(const std::string& folder, SeqNo watermark, VersionFs& fs = VersionFs::os());

 private:
  std::deque<SuperVersion> list_;
};

}  // namespace tervik
