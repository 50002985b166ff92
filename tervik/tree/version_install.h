// Installing a version derived from a tree's latest one: the seqno is drawn,
// the version derived and persisted with no lock of version_history held
// (readers and writers never wait for a sync), and only publishing takes it
// exclusively. Flushes, clearing and compactions install through it. The
// caller holds the tree's install_lock.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "tervik/core/error.h"
#include "tervik/tree/tree_inner.h"

namespace tervik {

struct InstallHooks {
  // Runs right after the new super version is published and before old
  // version files are collected (a compaction marks replaced files
  // deleted there, so that a failed collection cannot keep them).
  std::function<void()> on_published;
  // Begins the warning that a failed collection of old version files logs;
  // the collection's error never fails the install, since the version is
  // durable and published by then and the next open removes the leftovers.
  std::string gc_failure = "Version GC failed: ";
  // The log target of that warning.
  const char* gc_failure_target = kTreeTarget;
};

// Serialised by install_lock, so that seqnos and version ids are published
// in increasing order. `derive` builds the next version from the latest
// super version; `build` forms the super version from the latest one at the
// moment of publishing, so that a rotation made during the persist stays.
// With a watermark, super versions below it are collected and their version
// files deleted after the lock is released. A failed persist is returned
// and publishes nothing.
TervikStatus install_version(TreeShared& tree,
                             const std::function<Version(const SuperVersion&)>& derive,
                             const std::function<SuperVersion(const SuperVersion&, Version, SeqNo)>& build,
                             std::optional<SeqNo> gc_watermark, const InstallHooks& hooks = {});

}  // namespace tervik
