// Where each region of a table file lies, found by name in the file's table
// of contents: the top-level index and meta block (required), the index
// partitions, the filter (or its partitions), the filter's top-level index
// and the list of linked blob files. Built by Table::recover. Plain value.
#pragma once

#include <optional>

#include "archive/src/toc.h"
#include "tervik/block/block.h"
#include "tervik/core/error.h"

namespace tervik {

inline constexpr const char* kRegionsLogTarget = "tervik::table::regions";
inline constexpr const char* kLogTliMissing = "TLI should exist";
inline constexpr const char* kLogMetaMissing = "Metadata should exist";
inline constexpr const char* kLogRegionTooLarge = "region should not exceed 4 GiB";

struct TableRegions {
  BlockHandle tli;
  BlockHandle meta;
  std::optional<BlockHandle> index;
  std::optional<BlockHandle> filter;
  std::optional<BlockHandle> filter_tli;
  std::optional<BlockHandle> linked_blob_files;

  // Looks the regions up in the order "filter_tli", "tli", "index",
  // "filter", "linked_blob_files", "meta". A missing "tli" or "meta" and a
  // region of 4 GiB or more log their message and give Unrecoverable.
  static TervikResult<TableRegions> from_toc(const zv::archive::Toc& toc);
};

}  // namespace tervik
