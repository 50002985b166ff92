// One compaction run: asks the tree's strategy for a choice under the
// hidden-table mutex and carries it out. A move places tables into another
// level, a drop removes them, a merge hides its input tables, rewrites them
// through one garbage-collecting stream into new tables of the destination
// level and installs the result; every change ends with a persisted,
// published version and the collection of old version files. Runs on the
// caller's thread; several runs on one tree may overlap.
#pragma once

#include "tervik/core/error.h"
#include "tervik/tree/compaction_options.h"

namespace tervik::compaction {

inline constexpr const char* kHiddenTablesDecline = " contained hidden tables, declining to run it";
inline constexpr const char* kReportAt = " - please report this at the ZivirOR issue tracker";
inline constexpr const char* kNotInManifest = " contained tables not referenced in the level manifest";
inline constexpr const char* kTablesDoNotExist =
    "Compaction task tried to compact tables that do not exist, declining to run it";

// Success also covers every run that declines or gives up without changing
// the tree (hidden or vanished inputs, a stop signal, inputs gone by the
// time of installation); files a merge wrote before giving up stay on disk,
// listed by no version, until the next open deletes them. A failure to
// collect old version files after an install is logged, not returned.
TervikStatus run_compaction(const CompactionOptions& options);

}  // namespace tervik::compaction
