// The one procedure by which every change of a tree's table structure
// (registration of flushed or ingested tables, clearing, compaction) becomes
// a new super version. Used inside the tree folder only.
#pragma once

#include <functional>
#include <optional>

#include "tervik/core/error.h"
#include "tervik/tree/tree_inner.h"

namespace tervik {

// Derives the next version from the latest super version, with the seqno
// drawn for it (ingested tables are opened with it); an error ends the
// install before anything is persisted.
using DeriveVersion = std::function<TervikResult<Version>(const SuperVersion& latest, SeqNo s)>;
// Forms the super version to publish from the latest one at publishing time.
using BuildSuperVersion = std::function<SuperVersion(const SuperVersion& latest, Version next, SeqNo s)>;

// Draws a seqno, derives and persists the next version, publishes it (raising
// visible_seqno past the seqno) and, with a watermark, collects the super
// versions below it. The caller holds install_lock, so that versions and
// their seqnos are published in the order they were derived.
TervikStatus install_version(TreeInner& in, const DeriveVersion& derive, const BuildSuperVersion& build,
                             std::optional<SeqNo> gc_watermark);

}  // namespace tervik
