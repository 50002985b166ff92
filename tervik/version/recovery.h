// Version recovery at tree open: follows "current" to the version file,
// opens every table and blob file it lists, builds the Version, then deletes
// what the folder holds that no longer belongs to the tree (older version
// files, unlisted table and blob files). Runs once per open on the opening
// thread, before anything else uses the folder.
#pragma once

#include <cstdint>
#include <string>

#include "tervik/config/tree_config.h"
#include "tervik/core/error.h"
#include "tervik/version/version.h"

namespace tervik {

inline constexpr std::string_view kTablesFolderName = "tables";
inline constexpr std::string_view kSkippedDsStoreName = ".DS_Store";
inline constexpr std::string_view kSkippedAppleDoublePrefix = "._";
inline constexpr const char* kLogTableFolderIsDir = "assertion failed: !table_file_path.is_dir()";
inline constexpr const char* kLogRecoveredLessTables = "Recovered less tables than expected: ";

// Rebuilds the current version of the tree in `folder`. Nothing is deleted
// unless every table and blob file of the version opened and the version was
// built. Pinning flags come from the configuration's per-level policies.
TervikResult<Version> recover_version(const std::string& folder, uint64_t tree_id,
                                      const TreeConfig& config);

// Deletes every non-folder entry of `folder` whose name starts with "v" and
// is not "v<current_id>".
TervikStatus cleanup_orphaned_versions(const std::string& folder, uint64_t current_id);

}  // namespace tervik
