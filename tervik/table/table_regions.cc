#include "tervik/table/table_regions.h"

#include "platform/log.h"
#include "tervik/table/filter_writer.h"
#include "tervik/table/index_writer.h"
#include "tervik/table/linked_blob_file.h"
#include "tervik/table/table_meta.h"

namespace tervik {

namespace {

TervikError refuse(const char* message) {
  return TervikError::logged_unrecoverable(kRegionsLogTarget, message);
}

// The handle of a named region: none when absent, an error when a block
// handle cannot describe its length.
TervikResult<std::optional<BlockHandle>> find(const zv::archive::Toc& toc, const char* name) {
  const zv::archive::TocEntry* e = toc.section(name);
  if (e == nullptr) return std::optional<BlockHandle>();
  if (e->len > kMaxBlockLength) return zv::make_unexpected(refuse(kLogRegionTooLarge));
  return std::optional<BlockHandle>(BlockHandle{e->pos, static_cast<uint32_t>(e->len)});
}

}  // namespace

TervikResult<TableRegions> TableRegions::from_toc(const zv::archive::Toc& toc) {
  TableRegions r;
  ZV_ASSIGN_OR_RETURN(r.filter_tli, find(toc, kSectionFilterTli));
  ZV_ASSIGN_OR_RETURN(std::optional<BlockHandle> tli, find(toc, kSectionTli));
  if (!tli) return zv::make_unexpected(refuse(kLogTliMissing));
  r.tli = *tli;
  ZV_ASSIGN_OR_RETURN(r.index, find(toc, kSectionIndex));
  ZV_ASSIGN_OR_RETURN(r.filter, find(toc, kSectionFilter));
  ZV_ASSIGN_OR_RETURN(r.linked_blob_files, find(toc, kSectionLinkedBlobFiles));
  ZV_ASSIGN_OR_RETURN(std::optional<BlockHandle> meta, find(toc, kSectionMeta));
  if (!meta) return zv::make_unexpected(refuse(kLogMetaMissing));
  r.meta = *meta;
  return r;
}

}  // namespace tervik
