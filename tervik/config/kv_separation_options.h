// Key-value separation settings of a tree: their presence makes the tree keep
// large values in blob files. Read by blob ingestion, compaction and blob
// file relocation. Plain value.
#pragma once

#include <cstdint>

#include "tervik/core/compression_type.h"

namespace tervik {

struct KvSeparationOptions {
  // Size at which a blob file writer starts the next blob file.
  uint64_t file_target_size = 0;
  // Values of at least this many bytes go to blob files.
  uint32_t separation_threshold = 0;
  // Share of dead bytes from which a blob file is worth relocating.
  float staleness_threshold = 0.0f;
  // Fraction of the oldest blob files that relocation considers.
  float age_cutoff = 0.0f;
  CompressionType compression = CompressionType::kNone;

  bool operator==(const KvSeparationOptions&) const = default;
};

}  // namespace tervik
