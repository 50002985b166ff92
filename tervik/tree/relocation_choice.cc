#include "tervik/tree/relocation_choice.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <unordered_set>

#include "tervik/compaction/run_filter.h"
#include "tervik/version/walks.h"

namespace tervik::compaction {

namespace {

bool is_candidate(const BlobFile& file, const FragmentationMap& stats, float threshold) {
  const FragmentationEntry* e = stats.find(file.id());
  if (e == nullptr) return false;
  const uint64_t total = file.meta().uncompressed_size;
  // Wholly stale files hold nothing to move; the next compaction drops them.
  if (e->bytes == total) return false;
  const float staleness = static_cast<float>(e->bytes) / static_cast<float>(total);
  return staleness >= threshold;  // false when either side is NaN
}

size_t keep_count(size_t candidates, float age_cutoff) {
  const float keep = static_cast<float>(candidates) * age_cutoff;
  if (!(keep > 0.0f)) return 0;  // negative or NaN
  if (keep >= static_cast<float>(candidates)) return candidates;
  return static_cast<size_t>(keep);
}

}  // namespace

TervikResult<std::vector<BlobFileHandle>> pick_blob_files_for_relocation(const TableIdSet& input_table_ids,
                                                                         const Version& version,
                                                                         const KvSeparationOptions& options) {
  const FragmentationMap& stats = version.gc_stats();
  if (stats.empty()) return std::vector<BlobFileHandle>();
  const std::unordered_set<uint64_t> inputs(input_table_ids.begin(), input_table_ids.end());
  std::optional<TervikError> error;
  LinkedBlobFilesIter linked(inputs, version, &error);
  std::unordered_set<uint64_t> seen;
  std::vector<BlobFileHandle> candidates;
  while (std::optional<std::vector<LinkedBlobFile>> records = linked.next()) {
    for (const LinkedBlobFile& r : *records) {
      auto it = version.blob_files().find(r.blob_file_id);
      if (it == version.blob_files().end()) {
        // The section has no checksum of its own: a damaged record is input.
        return zv::make_unexpected(TervikError::logged_unrecoverable(
            kWorkerLogTarget, "Blob file " + std::to_string(r.blob_file_id) + " should exist"));
      }
      if (!seen.insert(r.blob_file_id).second) continue;
      if (is_candidate(*it->second, stats, options.staleness_threshold)) candidates.push_back(it->second);
    }
  }
  if (error) return zv::make_unexpected(std::move(*error));
  if (candidates.empty()) return candidates;

  // Lower ids are older files.
  std::sort(candidates.begin(), candidates.end(),
            [](const BlobFileHandle& a, const BlobFileHandle& b) { return a->id() < b->id(); });
  candidates.resize(keep_count(candidates.size(), options.age_cutoff));

  // A file that a table outside the compaction links cannot move: that
  // table's pointers would still name it. The cut above comes first.
  for (const Table& t : version.tables()) {
    if (candidates.empty()) break;
    if (inputs.count(t.id()) != 0) continue;
    ZV_ASSIGN_OR_RETURN(std::optional<std::vector<LinkedBlobFile>> records, t.linked_blob_files());
    if (!records) continue;
    for (const LinkedBlobFile& r : *records) {
      std::erase_if(candidates, [&](const BlobFileHandle& b) { return b->id() == r.blob_file_id; });
    }
  }
  return candidates;
}

}  // namespace tervik::compaction
