// Shorthands of the version tests: a version of any shape assembled from
// open tables (unpacked, as a version file would give it), and the ids of a
// level's runs for comparisons. Test-only.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/panic.h"
#include "tervik/version/super_version.h"
#include "tervik/version/version.h"

namespace tervik::testing {

using IdRuns = std::vector<std::vector<uint64_t>>;

// A version whose level i holds the runs levels[i] (by table id).
inline Version version_of(uint64_t id, const std::vector<IdRuns>& levels,
                          const std::vector<Table>& tables,
                          const std::vector<std::shared_ptr<BlobFile>>& blob_files = {},
                          FragmentationMap gc_stats = {}) {
  std::vector<PersistedLevel> persisted(7);
  for (size_t l = 0; l < levels.size(); ++l) {
    for (const auto& run : levels[l]) {
      PersistedRun& pr = persisted[l].emplace_back();
      for (uint64_t t : run) pr.push_back({t, Checksum(), 0});
    }
  }
  auto v = Version::from_recovery(id, TreeType::kStandard, persisted, tables, blob_files,
                                  std::move(gc_stats));
  if (!v.ok()) zv::panic("version_of: " + v.error().to_string());
  return std::move(*v);
}

inline IdRuns ids_of(const Level& level) {
  IdRuns out;
  for (const RunHandle& r : level.runs()) {
    auto& ids = out.emplace_back();
    for (const Table& t : r->tables()) ids.push_back(t.id());
  }
  return out;
}

inline std::vector<IdRuns> ids_of(const Version& v) {
  std::vector<IdRuns> out;
  for (const LevelHandle& l : v.levels()) out.push_back(ids_of(*l));
  return out;
}

// Draws a seqno, persists `version` and publishes it with the memtables:
// the install procedure of a tree, without its locks. Returns the seqno.
inline TervikResult<SeqNo> append_version(SuperVersions& list, const std::string& folder,
                                          const SeqNoCounter& seqno, const SeqNoCounter& visible,
                                          Version version, std::shared_ptr<Memtable> active,
                                          SealedMemtablesHandle sealed, VersionFs& fs = VersionFs::os()) {
  const SeqNo s = seqno.next();
  ZV_TRY(version.persist(folder, fs));
  list.publish(SuperVersion{std::move(active), std::move(sealed), std::move(version), s}, visible);
  return s;
}

}  // namespace tervik::testing
