// Super versions: a version paired with the memtables current with it and
// the sequence number from which on snapshots see it; and the tree's list of
// them, oldest first, with the lookup a read at a snapshot uses, the
// publishing of a derived version and the manifest garbage collection.
// SuperVersion values are cheap clones of shared parts. SuperVersions is not
// thread-safe: the tree keeps it behind its reader-writer lock (lookups under
// the shared lock; publish, replace_latest and take_collectable under the
// exclusive one). Nothing here does I/O under that lock: a derived version is
// persisted before it is published, and collected version files are deleted
// after the entries were taken out.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

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

  // Publishes a derived version that the caller has persisted under the seqno
  // it drew: appends `next` and raises `visible_seqno` to at least
  // next.seqno + 1. No I/O.
  void publish(SuperVersion next, const SeqNoCounter& visible_seqno);

  // Takes out the super versions older than the newest one whose seqno is
  // below `watermark` and returns their version ids, for
  // delete_version_files once the lock is released. Watermark 0 or a single
  // super version takes nothing.
  std::vector<uint64_t> take_collectable(SeqNo watermark);
  // Deletes the version files of `ids` from `folder`; a missing one is fine.
  static TervikStatus delete_version_files(const std::string& folder, const std::vector<uint64_t>& ids,
                                           VersionFs& fs = VersionFs::os());
  // take_collectable, then delete_version_files.
  TervikStatus gc(const std::string& folder, SeqNo watermark, VersionFs& fs = VersionFs::os());

 private:
  std::deque<SuperVersion> list_;
};

}  // namespace tervik
