// The choice of the blob files whose live values a compaction relocates,
// which is how blob garbage is collected: files linked by the compaction's
// input tables whose stale share reaches the staleness threshold (but that
// are not wholly stale: those are simply dropped), the oldest fraction of
// them by the age cutoff, less those that a table outside the compaction
// still links. Reads an immutable version; safe on any thread.
#pragma once

#include <vector>

#include "tervik/compaction/choice.h"
#include "tervik/config/kv_separation_options.h"
#include "tervik/core/error.h"
#include "tervik/version/version.h"

namespace tervik::compaction {

// Ascending by blob file id, possibly empty. A table's linked blob files that
// cannot be read are its error; a linked record naming a blob file that the
// version lacks is damaged stored data: logged, then Unrecoverable. An age
// cutoff above 1 keeps every candidate.
TervikResult<std::vector<BlobFileHandle>> pick_blob_files_for_relocation(const TableIdSet& input_table_ids,
                                                                         const Version& version,
                                                                         const KvSeparationOptions& options);

}  // namespace tervik::compaction
