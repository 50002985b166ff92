// Rebuilds a tree's blob file records at open from its "blobs" folder and the
// (id, checksum) list of its current version; files no version lists are
// returned as orphans for the caller to delete. Runs alone during tree open.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tervik/blob/blob_file.h"
#include "tervik/config/descriptor_cache.h"
#include "tervik/core/checksum.h"
#include "tervik/core/error.h"

namespace tervik::vlog {

inline constexpr std::string_view kBlobsFolderName = "blobs";
inline constexpr std::string_view kSkippedDsStore = ".DS_Store";
inline constexpr std::string_view kSkippedPrefix = "._";
inline constexpr const char* kLogBlobFolderIsDir = "assertion failed: !blob_file_path.is_dir()";

struct RecoveredBlobFiles {
  std::vector<std::shared_ptr<BlobFile>> blob_files;  // folder-listing order
  std::vector<std::string> orphans;                   // paths of unlisted files
};

// Opens every listed blob file (reading its trailer, table of contents and
// meta section, not its data) and fails with Unrecoverable when a listed id
// is not found exactly once, when the folder is missing while the list is
// not empty, on a name that is not a decimal id, and on a sub-folder.
TervikResult<RecoveredBlobFiles> recover_blob_files(
    const std::string& folder, const std::vector<std::pair<uint64_t, Checksum>>& expected,
    uint64_t tree_id, std::shared_ptr<FileDescriptorCache> cache);

// A blob file name: decimal digits with an optional leading "+", within u64.
std::optional<uint64_t> parse_blob_file_name(std::string_view name);

}  // namespace tervik::vlog
